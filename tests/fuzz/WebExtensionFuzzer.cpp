// The web-extension plug-in's C entry with arbitrary message text, and the Firefox host's loop over
// the handler behind it with arbitrary input bytes (the first byte chooses): every reply must be
// one JSON object, released through the plug-in's own free entry, and the Firefox host writes only
// whole frames within Firefox's limit.
#include <cstdint>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "firefox-host/FirefoxMessageLoop.h"
#include "platform/Clock.h"
#include "safari-extension/WebExtensionEntry.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/fuzz/MemoryStreams.h"

namespace {

void discardLine(void*, int, const char*, const char*, const char*) {}

class DiscardingSink final : public tessary::LogSink {
public:
    void write(const tessary::LogRecord&) override {}
};

class SilentPoster final : public tessary::NotificationPoster {
public:
    void post() override {}
};

std::filesystem::path storeFile;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = "/dev/shm/tessary-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        std::abort();
    ::setenv("HOME", pattern.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (pattern + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);
    tessary_web_extension_set_log_handler(&discardLine, nullptr);
    // The agent creates the store; the plug-in only appends to one that exists.
    storeFile = std::filesystem::path(pattern) / "data" / tessary::SharedStoreFormat::kSuiteName /
                tessary::SharedStoreFormat::kStoreFileName;
    if (!tessary::SharedStore::open(storeFile, tessary::SharedStore::Access::readWrite, std::chrono::milliseconds(100)))
        std::abort();
    return 0;
}

namespace {

void fuzzFirefoxHost(std::string_view bytes)
{
    static const tessary::SafariWebExtensionHandler handler(storeFile, std::make_shared<SilentPoster>(),
                                                            std::make_shared<tessary::SystemClock>(),
                                                            std::make_shared<DiscardingSink>());
    tessary::fuzzing::MemoryInput input(bytes);
    tessary::fuzzing::MemoryOutput output;
    tessary::FirefoxMessageLoop::run(input, output, handler);
    std::string_view rest = output.written;
    while (!rest.empty()) {
        if (rest.size() < 4)
            std::abort();
        std::uint32_t length = 0;
        for (int i = 3; i >= 0; --i)
            length = (length << 8) | static_cast<unsigned char>(rest[static_cast<std::size_t>(i)]);
        if (length > tessary::FirefoxMessageLoop::kLargestReply || rest.size() - 4 < length)
            std::abort();
        if (!nlohmann::json::parse(rest.substr(4, length), nullptr, false).is_object())
            std::abort();
        rest.remove_prefix(4 + std::size_t{length});
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 0 && data[0] % 2 == 1) {
        fuzzFirefoxHost(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
        return 0;
    }
    const std::string message(reinterpret_cast<const char*>(data), size);
    char* reply = tessary_web_extension_handle_message(message.c_str());
    if (reply == nullptr)
        std::abort();
    const auto parsed = nlohmann::json::parse(reply, nullptr, false);
    tessary_web_extension_free_reply(reply);
    if (!parsed.is_object())
        std::abort();
    return 0;
}
