#include <gtest/gtest.h>

#include "agent/core/InstallationKeeper.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using testing::FakePlatform;
using testing::TemporaryFolder;

InstallationKeeper keeperFor(const AgentPlatform& platform, Logger logger)
{
    return InstallationKeeper(platform.keepAliveAgent, platform.serviceManager, platform.chromeHostManifest,
                              platform.otherBrowserHostManifests, platform.loginItem, platform.bundle,
                              platform.browserPolicy, platform.hostFacts, platform.adminCheck,
                              std::move(logger));
}

class InstallationKeeperTest : public ::testing::Test {
protected:
    InstallationKeeperTest()
        : platform(fake.platform()), keeper(keeperFor(platform, Logger(fake.log, "app.brenmoor.tessary", "app")))
    {
    }

    const std::filesystem::path& unitPath() const { return fake.keepAliveUnit->unitPath(); }
    std::filesystem::path executable() const { return platform.bundle->executablePath(); }
    static bool isPresent(const std::filesystem::path& path)
    {
        return std::filesystem::exists(std::filesystem::symlink_status(path));
    }

    FakePlatform fake;
    AgentPlatform platform;
    InstallationKeeper keeper;
};

TEST_F(InstallationKeeperTest, UnitRunsTheExecutableWithTheGraphicalSessionAndRestartsIt)
{
    keeper.installKeepAliveAgent();
    const auto unit = TemporaryFolder::readFile(unitPath());
    EXPECT_EQ(unitPath().filename(), "app.brenmoor.tessary.keepalive.service");
    EXPECT_EQ(unit, SystemdKeepAliveUnit::unitContent(executable()));
    EXPECT_NE(unit.find("\nExecStart=" + executable().string() + "\n"), std::string::npos);
    EXPECT_NE(unit.find("\nRestart=always\n"), std::string::npos);
    EXPECT_NE(unit.find("\nWantedBy=graphical-session.target\n"), std::string::npos);
    const auto link = fake.keepAliveUnit->wantsLinkPath();
    EXPECT_EQ(link.parent_path().filename(), "graphical-session.target.wants");
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::equivalent(link, unitPath()));
    EXPECT_FALSE(isPresent(fake.keepAliveUnit->earlierWantsLinkPath()));
    EXPECT_EQ(fake.log->messages(), std::vector<std::string>{"Installed keepalive launch agent"});
    EXPECT_EQ(fake.serviceManager->reloads, 0) << "a new unit is found without a reload";
}

TEST_F(InstallationKeeperTest, EnsureRewritesADeletedUnitWithTheSameContent)
{
    keeper.installKeepAliveAgent();
    const auto original = TemporaryFolder::readFile(unitPath());
    keeper.ensureKeepAliveAgent();
    EXPECT_FALSE(fake.log->contains("LaunchAgent missing — re-installing"));

    std::filesystem::remove(unitPath());
    std::filesystem::remove(fake.keepAliveUnit->wantsLinkPath());
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(fake.log->contains("LaunchAgent missing — re-installing"));
    EXPECT_EQ(TemporaryFolder::readFile(unitPath()), original);
    EXPECT_TRUE(std::filesystem::is_symlink(fake.keepAliveUnit->wantsLinkPath()));
}

TEST_F(InstallationKeeperTest, EnsureRestoresARemovedWantsLinkQuietly)
{
    keeper.installKeepAliveAgent();
    fake.log->clear();
    // As systemctl --user disable would leave it.
    std::filesystem::remove(fake.keepAliveUnit->wantsLinkPath());
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(std::filesystem::is_symlink(fake.keepAliveUnit->wantsLinkPath()));
    EXPECT_TRUE(fake.log->messages().empty());

    // A link pointing elsewhere is put right too.
    std::filesystem::remove(fake.keepAliveUnit->wantsLinkPath());
    std::filesystem::create_symlink("/dev/null", fake.keepAliveUnit->wantsLinkPath());
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(std::filesystem::equivalent(fake.keepAliveUnit->wantsLinkPath(), unitPath()));
}

TEST_F(InstallationKeeperTest, ExistingUnitWithOtherContentIsNeverRewrittenNorLinked)
{
    TemporaryFolder::writeFile(unitPath(), "someone else's unit\n");
    keeper.installKeepAliveAgent();
    keeper.ensureKeepAliveAgent();
    EXPECT_EQ(TemporaryFolder::readFile(unitPath()), "someone else's unit\n");
    EXPECT_FALSE(isPresent(fake.keepAliveUnit->wantsLinkPath()));
    EXPECT_TRUE(fake.log->messages().empty());
    EXPECT_FALSE(keeper.hasKeepAliveAgent());
}

// The previous release's unit, without the watchdog, is replaced the same way.
TEST_F(InstallationKeeperTest, UnitWithoutTheWatchdogIsReplacedAndReloaded)
{
    TemporaryFolder::writeFile(unitPath(), *SystemdKeepAliveUnit::unitContentWithoutWatchdog(executable()));
    EXPECT_FALSE(keeper.hasKeepAliveAgent());
    keeper.installKeepAliveAgent();
    EXPECT_EQ(TemporaryFolder::readFile(unitPath()), SystemdKeepAliveUnit::unitContent(executable()));
    EXPECT_EQ(fake.serviceManager->reloads, 1);
    EXPECT_TRUE(keeper.hasKeepAliveAgent());
}

TEST_F(InstallationKeeperTest, UnitOfAnEarlierVersionIsReplacedMovedToTheSessionAndReloaded)
{
    TemporaryFolder::writeFile(unitPath(), *SystemdKeepAliveUnit::earlierUnitContent(executable()));
    const auto earlierLink = fake.keepAliveUnit->earlierWantsLinkPath();
    std::filesystem::create_directories(earlierLink.parent_path());
    std::filesystem::create_symlink(std::filesystem::path("..") / unitPath().filename(), earlierLink);
    EXPECT_FALSE(keeper.hasKeepAliveAgent());

    keeper.installKeepAliveAgent();
    EXPECT_EQ(TemporaryFolder::readFile(unitPath()), SystemdKeepAliveUnit::unitContent(executable()));
    EXPECT_FALSE(isPresent(earlierLink));
    EXPECT_TRUE(std::filesystem::is_symlink(fake.keepAliveUnit->wantsLinkPath()));
    EXPECT_EQ(fake.serviceManager->reloads, 1);
    EXPECT_EQ(fake.log->messages(), std::vector<std::string>{"Installed keepalive launch agent"});
    EXPECT_TRUE(keeper.hasKeepAliveAgent());
}

TEST_F(InstallationKeeperTest, EnsureRemovesTheEarlierLinkOfACurrentUnit)
{
    keeper.installKeepAliveAgent();
    const auto earlierLink = fake.keepAliveUnit->earlierWantsLinkPath();
    std::filesystem::create_directories(earlierLink.parent_path());
    std::filesystem::create_symlink(std::filesystem::path("..") / unitPath().filename(), earlierLink);
    keeper.ensureKeepAliveAgent();
    EXPECT_FALSE(isPresent(earlierLink));
}

TEST_F(InstallationKeeperTest, SystemWideAgentMeansEveryEnsureLogsAndWritesNothing)
{
    fake.loginItem->systemWide = true;
    keeper.ensureKeepAliveAgent();
    keeper.ensureKeepAliveAgent();
    EXPECT_EQ(fake.log->count("LaunchAgent missing — re-installing"), 2U);
    EXPECT_FALSE(std::filesystem::exists(unitPath()));
    EXPECT_FALSE(std::filesystem::exists(fake.paths.configHome / "systemd"));
}

TEST_F(InstallationKeeperTest, ThePackagesUnitRunsTheInstalledAgentWithNothingWrittenForTheUser)
{
    fake.loginItem->systemWide = true;
    TemporaryFolder::writeFile(fake.keepAliveUnit->systemWideUnitPath(),
                               *SystemdKeepAliveUnit::unitContent(executable()));
    keeper.installKeepAliveAgent();
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(keeper.hasKeepAliveAgent());
    EXPECT_TRUE(fake.log->messages().empty());
    EXPECT_FALSE(std::filesystem::exists(fake.paths.configHome / "systemd"));
}

TEST_F(InstallationKeeperTest, InstallFailureIsLoggedAndRetriedByTheNextEnsure)
{
    // A plain file where the folder must go makes the folder impossible to create.
    TemporaryFolder::writeFile(platform.paths.configHome / "systemd", "not a folder");
    keeper.installKeepAliveAgent();
    const auto messages = fake.log->messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].rfind("Failed to install keepalive: ", 0), 0U) << messages[0];
    EXPECT_EQ(fake.log->records()[0].level, LogLevel::error);

    std::filesystem::remove(platform.paths.configHome / "systemd");
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(std::filesystem::exists(unitPath()));
}

TEST_F(InstallationKeeperTest, AnExecutableSystemdCannotStartIsAFailureNotAUnit)
{
    FakePlatform quoted;
    auto odd = quoted.platform();
    odd.bundle = std::make_shared<MainBundle>(quoted.bundlePath, "/opt/\"odd\"/PellixApp");
    auto oddKeeper = keeperFor(odd, Logger(quoted.log, "s", "c"));
    oddKeeper.installKeepAliveAgent();
    ASSERT_EQ(quoted.log->messages().size(), 1U);
    EXPECT_EQ(quoted.log->messages()[0].rfind("Failed to install keepalive: ", 0), 0U);
    EXPECT_FALSE(std::filesystem::exists(quoted.keepAliveUnit->unitPath()));
}

TEST_F(InstallationKeeperTest, TheKeepAliveAgentCanRunTheAgentOnlyWhenItIsThisVersionsOwn)
{
    EXPECT_FALSE(keeper.hasKeepAliveAgent()) << "absent";
    keeper.installKeepAliveAgent();
    EXPECT_TRUE(keeper.hasKeepAliveAgent()) << "current";
    TemporaryFolder::writeFile(unitPath(), *SystemdKeepAliveUnit::unitContent("/elsewhere/PellixApp"));
    EXPECT_FALSE(keeper.hasKeepAliveAgent()) << "another copy's unit";
}

TEST_F(InstallationKeeperTest, RemovalReportsWhetherThereWasAnythingToRemove)
{
    keeper.removeKeepAliveAgent();
    keeper.removeChromeHostManifest();
    EXPECT_EQ(fake.log->messages(), (std::vector<std::string>{"LaunchAgent not present or already removed",
                                                              "Chrome host file not present or already removed"}));

    keeper.installKeepAliveAgent();
    TemporaryFolder::writeFile(fake.chromeManifest->path(), "{}");
    fake.log->clear();
    keeper.removeKeepAliveAgent();
    keeper.removeChromeHostManifest();
    EXPECT_EQ(fake.log->messages(),
              (std::vector<std::string>{"Removed keepalive launch agent", "Chrome native messaging host removed"}));
    EXPECT_FALSE(std::filesystem::exists(unitPath()));
    EXPECT_FALSE(isPresent(fake.keepAliveUnit->wantsLinkPath()));
    EXPECT_TRUE(std::filesystem::is_directory(fake.chromeManifest->path().parent_path()));
}

TEST_F(InstallationKeeperTest, OtherBrowsersManifestsAreRemovedWhereTheBrowserIsPresent)
{
    struct Row {
        const char* name;
        bool present;
        bool manifest;
        // After the browser's name; none when nothing is said about the browser.
        std::optional<std::string> logged;
    };
    const Row rows[] = {
        {"present with a manifest", true, true, " native messaging host removed"},
        {"present without one", true, false, " host file not present or already removed"},
        {"absent", false, false, std::nullopt},
    };
    for (const auto& browser : fake.otherBrowserManifests) {
        for (const auto& row : rows) {
            SCOPED_TRACE(browser->browserName() + ", " + row.name);
            for (const auto& other : fake.otherBrowserManifests) {
                other->present = other == browser && row.present;
                other->content.reset();
            }
            if (row.manifest)
                browser->content = "{}";
            fake.log->clear();

            keeper.removeChromeHostManifest();

            std::vector<std::string> expected{"Chrome host file not present or already removed"};
            if (row.logged)
                expected.push_back(browser->browserName() + *row.logged);
            EXPECT_EQ(fake.log->messages(), expected);
            EXPECT_FALSE(browser->content.has_value());
        }
    }
}

}  // namespace
}  // namespace tessary
