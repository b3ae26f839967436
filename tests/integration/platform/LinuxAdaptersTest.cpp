#include <gtest/gtest.h>

#include "platform/linux/AutostartLoginItem.h"
#include "platform/linux/DesktopExec.h"
#include "platform/linux/FlockInstanceLock.h"
#include "platform/linux/GroupAdminCheck.h"
#include "platform/linux/JsonFileUserDefaults.h"
#include "platform/linux/LinuxHostFacts.h"
#include "platform/linux/XdgOpenLauncher.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

#include <chrono>
#include <thread>

namespace tessary {
namespace {

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

TEST(LinuxAdaptersTest, LauncherNeverWaitsForTheOpener)
{
    TemporaryFolder folder;
    const auto opener = folder.path() / "opener";
    const auto marker = folder.path() / "opened";
    // The opener records its argument, then lingers long after open() must have returned.
    TemporaryFolder::writeFile(opener, "#!/bin/sh\nprintf '%s' \"$1\" > \"" + marker.string() +
                                           ".tmp\" && mv \"" + marker.string() + ".tmp\" \"" + marker.string() +
                                           "\"\nexec sleep 30\n");
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);

    const auto start = std::chrono::steady_clock::now();
    XdgOpenLauncher(opener.string()).open("file:///tmp/a b.mobileconfig");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    // Bounded wait for the detached opener to have run.
    for (int i = 0; i < 200 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(TemporaryFolder::readFile(marker), "file:///tmp/a b.mobileconfig");
    ChildProcess::run({"pkill", "-f", opener.string()});
}

TEST(LinuxAdaptersTest, UnknownUserIsNoAdministrator)
{
    EXPECT_FALSE(GroupAdminCheck().isAdmin("no-such-user-tessary"));
}

}  // namespace
}  // namespace tessary
