// The Chrome host as Chrome drives it: arbitrary bytes on standard input, read with the host's
// framing and answered by the shared handler against a real store. Every reply must be one JSON
// object, and nothing may crash, leak or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "chrome-host/NativeMessageFraming.h"
#include "platform/Clock.h"
#include "shared/BrowserMessageHandler.h"
#include "shared/SharedStore.h"
#include "tests/fuzz/MemoryStreams.h"

namespace {

using namespace tessary;

using fuzzing::MemoryInput;
using fuzzing::MemoryOutput;

class SilentPoster final : public NotificationPoster {
public:
    void post() override {}
};

std::filesystem::path storeFile()
{
    static const std::filesystem::path file = [] {
        std::string pattern = "/dev/shm/tessary-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        auto path = std::filesystem::path(pattern) / "store.sqlite3";
        // The agent creates the store; a browser component only appends to one that exists.
        if (!SharedStore::open(path, SharedStore::Access::readWrite, std::chrono::milliseconds(100)))
            std::abort();
        return path;
    }();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const BrowserMessageHandler handler(storeFile(), std::make_shared<SilentPoster>(),
                                               std::make_shared<SystemClock>(), {"missing type", std::nullopt});
    static int runs = 0;
    MemoryInput input(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto message = NativeMessageFraming::readMessage(input);
    if (!message)
        return 0;
    MemoryOutput output;
    if (!NativeMessageFraming::writeMessage(output, handler.answer(*message)))
        std::abort();
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i)
        length = (length << 8U) | static_cast<unsigned char>(output.written[static_cast<std::size_t>(i)]);
    const auto reply = nlohmann::json::parse(output.written.substr(4), nullptr, false);
    if (length != output.written.size() - 4 || !reply.is_object())
        std::abort();
    // The agent drains as it runs; keep the queue short so each run stays fast.
    if (++runs % 256 == 0) {
        auto store = SharedStore::open(storeFile(), SharedStore::Access::readWrite, std::chrono::milliseconds(100));
        if (store)
            [[maybe_unused]] auto drained = store.value()->takeEvents();
    }
    return 0;
}
