#include <gtest/gtest.h>

#include "tests/support/MemoryLogSink.h"
#include "platform/linux/AgentConfiguration.h"
#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/DesktopExec.h"
#include "platform/linux/FlockInstanceLock.h"
#include "platform/linux/GroupAdminCheck.h"
#include "platform/linux/JsonFileUserDefaults.h"
#include "platform/linux/LinuxHostFacts.h"
#include "platform/linux/ScopedFd.h"
#include "platform/linux/SystemLogSink.h"
#include "platform/linux/XdgOpenLauncher.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EnvironmentOverride.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WaitUntil.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <map>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryFolder;

TEST(LinuxAdaptersTest, InstanceLockIsExclusiveUntilItsHolderGoesAway)
{
    TemporaryFolder folder;
    const auto file = folder.path() / "run" / "app.brenmoor.tessary.lock";
    auto first = std::make_unique<FlockInstanceLock>(file);
    FlockInstanceLock second(file);
    EXPECT_TRUE(first->tryAcquire());
    EXPECT_TRUE(first->tryAcquire());
    EXPECT_FALSE(second.tryAcquire());
    first.reset();
    EXPECT_TRUE(second.tryAcquire());

    // A copy that hands the running over lets the lock go while it still runs.
    FlockInstanceLock third(file);
    second.release();
    EXPECT_TRUE(third.tryAcquire());
    EXPECT_FALSE(second.tryAcquire());
}

// The configuration of a development build comes from its environment; an installed agent's only
// from a file root owns that no one else can write, and it always searches the system's folders.
TEST(LinuxAdaptersTest, AnInstalledAgentTakesItsConfigurationOnlyFromASafeFile)
{
    if (::geteuid() != 0)
        TESSARY_SKIP_WITHOUT("ownership by root can only be set up as root");
    TemporaryFolder folder;
    const auto etc = folder.path() / "etc";
    const auto file = etc / "agent.json";
    const auto ca = etc / "ca.pem";
    const std::map<std::string, std::string> variables = {{"TESSARY_SERVICE_URL", "https://child.example/"},
                                                          {"TESSARY_CA_FILE", "/home/child/ca.pem"},
                                                          {"TESSARY_SECRET_BACKEND", "file"}};
    const auto environment = [&](const char* name) -> std::optional<std::string> {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    const auto bundleNaming = [&](std::optional<std::filesystem::path> configuration) {
        nlohmann::json info = {{"CFBundleIdentifier", "app.brenmoor.tessary"}};
        if (configuration)
            info[AgentConfiguration::kFileKey] = configuration->string();
        TemporaryFolder::writeFile(folder.path() / "Tessary" / "Contents" / "Info.json", info.dump());
        return MainBundle(folder.path() / "Tessary", folder.path() / "Tessary" / "Contents" / "bin" / "PellixApp");
    };
    const std::string good = R"({"serviceURL":"https://family.example/","caFile":")" + ca.string() + R"("})";
    const auto perms = [](const std::filesystem::path& path, unsigned mode) {
        std::filesystem::permissions(path, std::filesystem::perms(mode));
    };
    struct Row {
        const char* name;
        std::function<void()> prepare;
        std::optional<std::string> serviceURL;
        std::optional<std::string> caFile;
        // The end of the refusal line; empty when nothing is refused.
        std::string refused;
    };
    const std::string unsafe = "it must be owned by root and writable by no one else";
    const Row rows[] = {
        {"no file: the built-in service", [&] { std::filesystem::remove(file); }, std::nullopt, std::nullopt, ""},
        {"a safe file", [] {}, "https://family.example/", ca.string(), ""},
        {"writable by the group", [&] { perms(file, 0664); }, std::nullopt, std::nullopt, unsafe},
        {"writable by others", [&] { perms(file, 0646); }, std::nullopt, std::nullopt, unsafe},
        {"owned by another user", [&] { ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0); }, std::nullopt,
         std::nullopt, unsafe},
        {"in a folder others can write", [&] { perms(etc, 0777); }, std::nullopt, std::nullopt,
         "its folder " + etc.string() + " is not safe: " + unsafe},
        {"a symbolic link to a safe file",
         [&] {
             std::filesystem::rename(file, etc / "real.json");
             std::filesystem::create_symlink(etc / "real.json", file);
         },
         std::nullopt, std::nullopt, "it is a symbolic link"},
        {"not JSON", [&] { TemporaryFolder::writeFile(file, "{\"serviceURL\":"); }, std::nullopt, std::nullopt,
         "it is not a JSON object"},
        {"an address that is not text", [&] { TemporaryFolder::writeFile(file, R"({"serviceURL":7})"); },
         std::nullopt, std::nullopt, "\"serviceURL\" is not a text"},
        {"a CA file others can write", [&] { perms(ca, 0666); }, std::nullopt, std::nullopt,
         "the CA file " + ca.string() + ": " + unsafe},
        {"larger than any configuration",
         [&] { TemporaryFolder::writeFile(file, std::string(AgentConfiguration::kLargestFile + 1, ' ')); },
         std::nullopt, std::nullopt, "it is not a file of at most 64 KiB"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(etc);
        std::filesystem::create_directories(etc);
        perms(etc, 0755);
        TemporaryFolder::writeFile(file, good);
        TemporaryFolder::writeFile(ca, "-----BEGIN CERTIFICATE-----\n");
        perms(file, 0644);
        perms(ca, 0644);
        row.prepare();
        auto log = std::make_shared<MemoryLogSink>();
        const auto configuration =
            AgentConfiguration::load(bundleNaming(file), environment, Logger(log, "app.brenmoor.tessary", "app"));
        EXPECT_EQ(configuration.serviceURL(), row.serviceURL);
        EXPECT_EQ(configuration.extraCaFile(), row.caFile ? std::optional<std::filesystem::path>(*row.caFile)
                                                          : std::nullopt);
        EXPECT_EQ(configuration.secretBackend(), "") << "the environment never chooses";
        if (row.refused.empty())
            EXPECT_TRUE(log->messages().empty());
        else
            EXPECT_EQ(log->messages(),
                      std::vector<std::string>{"Ignoring the configuration " + file.string() + ": " + row.refused});
        const auto folders = configuration.dataDirs({"/nowhere"});
        EXPECT_EQ(folders, (std::vector<std::filesystem::path>{"/nowhere", "/usr/local/share", "/usr/share"}));
        EXPECT_EQ(configuration.searchPath("/nowhere:/usr/bin"),
                  "/nowhere:/usr/bin:/usr/local/bin:/bin:/usr/local/games:/usr/games");
    }

    auto log = std::make_shared<MemoryLogSink>();
    const auto development =
        AgentConfiguration::load(bundleNaming(std::nullopt), environment, Logger(log, "app.brenmoor.tessary", "app"));
    EXPECT_EQ(development.serviceURL(), "https://child.example/");
    EXPECT_EQ(development.extraCaFile(), std::filesystem::path("/home/child/ca.pem"));
    EXPECT_EQ(development.secretBackend(), "file");
    EXPECT_EQ(development.dataDirs({"/nowhere"}), std::vector<std::filesystem::path>{"/nowhere"});
    EXPECT_EQ(development.searchPath("/nowhere"), "/nowhere");
}

TEST(LinuxAdaptersTest, UserDefaultsPersistAndKeepOtherKeys)
{
    TemporaryFolder folder;
    const auto file = folder.path() / "config" / "settings.json";
    TemporaryFolder::writeFile(file, R"({"other":"kept","mdmPromptShown":"yes"})");
    JsonFileUserDefaults defaults(file);
    EXPECT_FALSE(defaults.boolForKey("mdmPromptShown"));  // not a Boolean
    defaults.setBool("mdmPromptShown", true);
    EXPECT_TRUE(JsonFileUserDefaults(file).boolForKey("mdmPromptShown"));
    EXPECT_NE(TemporaryFolder::readFile(file).find("\"kept\""), std::string::npos);

    TemporaryFolder::writeFile(file, "not json");
    EXPECT_FALSE(JsonFileUserDefaults(file).boolForKey("mdmPromptShown"));
}

TEST(LinuxAdaptersTest, AutostartEntryStartsTheAgentAndIsRewrittenOnlyWhenDifferent)
{
    TemporaryFolder folder;
    const auto paths = folder.paths();
    AutostartLoginItem item(paths, "/opt/tessary/Contents/bin/PellixApp");
    const auto entry = paths.configHome / "autostart" / "app.brenmoor.tessary.desktop";
    EXPECT_EQ(item.entryPath(), entry);
    EXPECT_FALSE(item.registerAgent().has_value());
    const auto content = TemporaryFolder::readFile(entry);
    EXPECT_EQ(content.rfind("[Desktop Entry]\n", 0), 0U);
    EXPECT_NE(content.find("\nExec=/opt/tessary/Contents/bin/PellixApp\n"), std::string::npos);
    EXPECT_EQ(std::filesystem::status(entry).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0644));
    EXPECT_FALSE(item.registerAgent().has_value());

    EXPECT_FALSE(item.isSystemWide());
    TemporaryFolder::writeFile(paths.systemConfigDir / "autostart" / "app.brenmoor.tessary.desktop", "");
    EXPECT_TRUE(item.isSystemWide());

    TemporaryFolder blockedFolder;
    const auto blocked = blockedFolder.paths();
    TemporaryFolder::writeFile(blocked.configHome / "autostart", "a file where the folder belongs");
    EXPECT_TRUE(AutostartLoginItem(blocked, "/x").registerAgent().has_value());
}

TEST(LinuxAdaptersTest, DesktopExecArgumentsAreQuotedThenEscapedAsAValue)
{
    struct Row {
        const char* argument;
        const char* written;
    };
    const Row rows[] = {
        {"/opt/tessary/bin/PellixApp", "/opt/tessary/bin/PellixApp"},
        {"/home/a b/PellixApp", "\"/home/a b/PellixApp\""},
        {"/x/100%/bin", "/x/100%%/bin"},
        // Inside quotes \$ for $, then every backslash doubled by the value's own escaping.
        {"/x/100%/$HOME", "\"/x/100%%/\\\\$HOME\""},
        {"/x/\"q\"/`b`", "\"/x/\\\\\"q\\\\\"/\\\\`b\\\\`\""},
        {"/x/back\\slash", "\"/x/back\\\\\\\\slash\""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(DesktopExec::quote(row.argument), row.written) << row.argument;
}

TEST(LinuxAdaptersTest, ComputerNamePrefersThePrettyHostname)
{
    TemporaryFolder folder;
    const auto info = folder.path() / "machine-info";
    TemporaryFolder::writeFile(info, "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Zoë's \\\"Laptop\\\"\"\n");
    EXPECT_EQ(LinuxHostFacts(info).computerName(), "Zoë's \"Laptop\"");
    const auto kernelName = LinuxHostFacts(folder.path() / "missing").computerName();
    ASSERT_TRUE(kernelName.has_value());
    EXPECT_FALSE(kernelName->empty());
    EXPECT_FALSE(LinuxHostFacts().userName().empty());
}

TEST(LinuxAdaptersTest, LauncherNeverWaitsForTheOpenerAndReportsWhatKeptItFromOpening)
{
    struct Row {
        const char* name;
        std::optional<std::string> script;  // absent: no such opener
        std::optional<std::string> failure;
    };
    const Row rows[] = {
        {"opener runs and stays (a viewer in the foreground)", "exec sleep 30\n", std::nullopt},
        {"opener hands over and ends", "exit 0\n", std::nullopt},
        {"opener finds no handler", "exit 3\n", "ended with status 3"},
        {"opener killed", "kill -9 $$\n", "ended by signal 9"},
        {"no such opener", std::nullopt, "cannot run"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TemporaryFolder folder;
        const auto opener = folder.path() / "opener";
        const auto marker = folder.path() / "opened";
        if (row.script) {
            // The opener records its process and argument, then does what the row says.
            TemporaryFolder::writeFile(opener, "#!/bin/sh\necho $$ > \"" + (folder.path() / "pid").string() +
                                                   "\"\nprintf '%s' \"$1\" > \"" + marker.string() + ".tmp\" && mv \"" +
                                                   marker.string() + ".tmp\" \"" + marker.string() + "\"\n" +
                                                   *row.script);
            std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
        }
        // One of the agent's descriptors (close-on-exec, as all of them are): no process the
        // launcher leaves behind may hold it, as a held instance lock would keep the agent out.
        int agentPipe[2];
        ASSERT_EQ(::pipe2(agentPipe, O_CLOEXEC | O_NONBLOCK), 0);
        auto queue = std::make_shared<testing::ManualMainQueue>();
        std::optional<std::optional<Error>> told;
        const auto start = std::chrono::steady_clock::now();
        XdgOpenLauncher(queue, opener.string(), 1s).open("file:///tmp/a b.deb", [&](std::optional<Error> failure) {
            told = std::move(failure);
        });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "open() returns at once";
        ASSERT_TRUE(testing::waitUntil(
            [&] {
                queue->advance(XdgOpenLauncher::kPollInterval);
                return told.has_value();
            },
            20s));
        ASSERT_EQ(told->has_value(), row.failure.has_value());
        if (row.failure) {
            EXPECT_NE((*told)->description.find(*row.failure), std::string::npos) << (*told)->description;
        }
        ::close(agentPipe[1]);
        char byte = 0;
        EXPECT_EQ(::read(agentPipe[0], &byte, 1), 0) << "a leftover process holds the agent's descriptor";
        ::close(agentPipe[0]);
        if (row.script) {
            EXPECT_EQ(TemporaryFolder::readFile(marker), "file:///tmp/a b.deb");
            ::kill(std::stoi(TemporaryFolder::readFile(folder.path() / "pid")), SIGKILL);
        }
        EXPECT_EQ(queue->pendingTimers(), 0U) << "polling stops once told";
    }
}

TEST(LinuxAdaptersTest, UnknownUserIsNoAdministrator)
{
    EXPECT_FALSE(GroupAdminCheck().isAdmin("no-such-user-tessary"));
}

// What the journal reads from its socket: one entry of fields per line, a field holding a newline
// sent with its length, and an entry too large for a datagram sent as a sealed memory file.
TEST(LinuxAdaptersTest, LogLinesReachTheJournalAsFieldsOfItsNativeProtocol)
{
    TemporaryFolder folder;
    const auto socketPath = folder.path() / "journal.socket";
    ScopedFd journal(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(journal.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    SystemLogSink sink(socketPath, false);

    // The entry's fields by name, read as the journal reads them.
    const auto receive = [&]() -> std::map<std::string, std::string> {
        static char datagram[1 << 16];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        iovec vector{datagram, sizeof datagram};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const auto size = ::recvmsg(journal.get(), &message, MSG_DONTWAIT);
        if (size < 0)
            return {};
        std::string entry(datagram, static_cast<std::size_t>(size));
        if (const cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
            const ScopedFd memory(fd);
            EXPECT_EQ(::fcntl(fd, F_GET_SEALS) & F_SEAL_WRITE, F_SEAL_WRITE) << "sealed";
            entry.clear();
            char buffer[65536];
            for (off_t offset = 0;;) {
                const auto got = ::pread(fd, buffer, sizeof buffer, offset);
                if (got <= 0)
                    break;
                entry.append(buffer, static_cast<std::size_t>(got));
                offset += got;
            }
        }
        std::map<std::string, std::string> fields;
        for (std::size_t at = 0; at < entry.size();) {
            const auto end = entry.find_first_of("=\n", at);
            if (end == std::string::npos)
                break;
            const auto name = entry.substr(at, end - at);
            if (entry[end] == '=') {
                const auto newline = entry.find('\n', end);
                fields[name] = entry.substr(end + 1, newline - end - 1);
                at = newline + 1;
                continue;
            }
            std::uint64_t length = 0;
            for (int i = 7; i >= 0; --i)
                length = (length << 8U) | static_cast<unsigned char>(entry[end + 1 + static_cast<std::size_t>(i)]);
            fields[name] = entry.substr(end + 9, length);
            at = end + 9 + length + 1;
        }
        return fields;
    };

    struct Row {
        const char* name;
        std::string message;
    };
    const Row rows[] = {
        {"one line", "Connected"},
        {"several lines", "first\nsecond\n"},
        {"larger than a datagram", std::string(1 << 20, 'x')},
    };
    for (const auto& row : rows) {
        sink.write({LogLevel::error, "app.brenmoor.tessary", "api", row.message});
        const auto fields = receive();
        const std::map<std::string, std::string> expected{{"MESSAGE", row.message},
                                                          {"PRIORITY", "3"},
                                                          {"SUBSYSTEM", "app.brenmoor.tessary"},
                                                          {"CATEGORY", "api"},
                                                          {"SYSLOG_IDENTIFIER", program_invocation_short_name}};
        EXPECT_TRUE(fields == expected) << row.name;
    }
}

// A program may keep its journal to errors; whoever watches its stderr still sees every line.
TEST(LinuxAdaptersTest, QuietLinesAreKeptOnlyForSomeoneWatchingStandardError)
{
    const testing::EnvironmentOverride logToStderr("TESSARY_LOG_STDERR", nullptr);
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    const auto quiet = SystemLogSink::fromEnvironment(LogLevel::error);
    EXPECT_EQ(quiet->keeps(LogLevel::info), terminal);
    EXPECT_TRUE(quiet->keeps(LogLevel::error));
    EXPECT_TRUE(SystemLogSink::fromEnvironment()->keeps(LogLevel::debug));
    logToStderr.set("1");
    EXPECT_TRUE(SystemLogSink::fromEnvironment(LogLevel::error)->keeps(LogLevel::info));
}

}  // namespace
}  // namespace tessary
