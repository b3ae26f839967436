// The web-extension plug-in's C entry with arbitrary message text: every reply must be one JSON
// object, released through the plug-in's own free entry.
#include <cstdint>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "safari-extension/WebExtensionEntry.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"

namespace {

void discardLine(void*, int, const char*, const char*, const char*) {}

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
    const auto store = std::filesystem::path(pattern) / "data" / tessary::SharedStoreFormat::kSuiteName /
                       tessary::SharedStoreFormat::kStoreFileName;
    if (!tessary::SharedStore::open(store, tessary::SharedStore::Access::readWrite, std::chrono::milliseconds(100)))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
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
