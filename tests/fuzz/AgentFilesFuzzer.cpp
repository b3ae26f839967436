// The agent's own files in the child's home, which the child can overwrite with anything: the
// credentials, the settings, the kept rules, the configuration an installed agent reads, the shared
// store and the outbox. The first byte chooses the file, the rest is its content. Each is read and
// used as the agent does; nothing may crash, hang, or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/service/Outbox.h"
#include "agent/service/RecordCodec.h"
#include "agent/service/RulesPayload.h"
#include "platform/Clock.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/AgentConfiguration.h"
#include "platform/linux/FileSecureStore.h"
#include "platform/linux/JsonFileUserDefaults.h"
#include "platform/linux/PrivateKeptFile.h"
#include "shared/SharedDefaults.h"

namespace {

using namespace tessary;

std::filesystem::path freshFolder()
{
    static const std::filesystem::path root = [] {
        std::string pattern = "/dev/shm/tessary-files-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        return std::filesystem::path(pattern);
    }();
    // Damaged files are moved aside, never deleted: each run starts from an empty folder.
    const auto folder = root / "data";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

void write(const std::filesystem::path& file, std::string_view bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto folder = freshFolder();
    const auto clock = std::make_shared<SystemClock>();
    const auto log = std::make_shared<MemoryLogSink>();
    const Logger logger(log, "app.brenmoor.tessary", "app");
    const auto ignore = [](const std::string&) {};

    switch (data[0] % 6) {
    case 0: {
        write(folder / "credentials", bytes);
        FileSecureStore store(folder / "credentials", clock, log);
        if (store.readAll("app.brenmoor.tessary.device"))
            (void)store.write("app.brenmoor.tessary.device", "token", "t");
        break;
    }
    case 1: {
        write(folder / "settings.json", bytes);
        JsonFileUserDefaults defaults(folder / "settings.json");
        defaults.setBool("mdmPromptShown", !defaults.boolForKey("mdmPromptShown"));
        break;
    }
    case 2: {
        write(folder / "rules.json", bytes);
        PrivateKeptFile kept(folder / "rules.json", 1 << 20);
        if (const auto text = kept.read())
            (void)RecordCodec<RulesPayload>::decode(*text);
        break;
    }
    case 3: {
        write(folder / "agent.json", bytes);
        std::filesystem::create_directories(folder / "Contents");
        write(folder / "Contents" / "Info.json",
              R"({"TessaryConfigurationFile":")" + (folder / "agent.json").string() + R"("})");
        (void)AgentConfiguration::load(MainBundle(folder, folder / "Contents" / "bin" / "PellixApp"),
                                       [](const char*) { return std::nullopt; }, logger);
        break;
    }
    case 4: {
        write(folder / "store.sqlite3", bytes);
        SharedDefaults store(folder / "store.sqlite3", clock, logger, ignore);
        (void)store.drainEventQueue();
        (void)store.setRules(R"({"mode":"allow"})");
        (void)store.drainEventQueue();
        break;
    }
    default: {
        write(folder / "outbox.sqlite3", bytes);
        Outbox outbox(folder / "outbox.sqlite3", clock, logger, ignore);
        outbox.lookForTampering();
        (void)outbox.add(R"({"type":"activity"})");
        for (const auto& message : outbox.after(0, 10))
            outbox.remove(message.id);
        break;
    }
    }
    return 0;
}
