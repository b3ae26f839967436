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

// The unit's own content and links are KeepAliveUnitTest's; here, that the keeper writes the current one.
TEST_F(InstallationKeeperTest, InstallWritesAndEnablesTheCurrentUnit)
{
    keeper.installKeepAliveAgent();
    EXPECT_EQ(TemporaryFolder::readFile(unitPath()), SystemdKeepAliveUnit::unitContent(executable()));
    EXPECT_TRUE(std::filesystem::is_symlink(fake.keepAliveUnit->wantsLinkPath()));
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

// Other browsers' manifests are looked at only where the browser has run: here Chromium and Edge.
TEST_F(InstallationKeeperTest, RemovalReportsWhetherThereWasAnythingToRemoveForEachBrowserPresent)
{
    for (std::size_t i = 0; i < fake.otherBrowserManifests.size(); ++i)
        fake.otherBrowserManifests[i]->present = i % 2 == 0;
    const auto said = [&](const std::string& unit, const std::string& manifest) {
        std::vector<std::string> lines{unit, "Chrome" + manifest};
        for (const auto& browser : fake.otherBrowserManifests)
            if (browser->present)
                lines.push_back(browser->browserName() + manifest);
        return lines;
    };
    keeper.removeKeepAliveAgent();
    keeper.removeChromeHostManifest();
    EXPECT_EQ(fake.log->messages(),
              said("LaunchAgent not present or already removed", " host file not present or already removed"));

    keeper.installKeepAliveAgent();
    TemporaryFolder::writeFile(fake.chromeManifest->path(), "{}");
    for (const auto& browser : fake.otherBrowserManifests)
        if (browser->present)
            browser->content = "{}";
    fake.log->clear();
    keeper.removeKeepAliveAgent();
    keeper.removeChromeHostManifest();
    EXPECT_EQ(fake.log->messages(), said("Removed keepalive launch agent", " native messaging host removed"));
    for (const auto& browser : fake.otherBrowserManifests)
        EXPECT_FALSE(browser->content.has_value()) << browser->browserName();
    EXPECT_FALSE(std::filesystem::exists(unitPath()));
    EXPECT_FALSE(isPresent(fake.keepAliveUnit->wantsLinkPath()));
    EXPECT_TRUE(std::filesystem::is_directory(fake.chromeManifest->path().parent_path()));
}

}  // namespace
}  // namespace tessary
