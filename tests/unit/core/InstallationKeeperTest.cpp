#include <gtest/gtest.h>

#include "agent/core/InstallationKeeper.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using testing::FakePlatform;
using testing::TemporaryFolder;

class InstallationKeeperTest : public ::testing::Test {
protected:
    InstallationKeeperTest()
        : platform(fake.platform()),
          keeper(platform.paths, platform.bundle, platform.mainQueue, platform.launcher, platform.hostFacts,
                 platform.adminCheck, Logger(fake.log, "app.brenmoor.tessary", "app"))
    {
    }

    FakePlatform fake;
    AgentPlatform platform;
    InstallationKeeper keeper;
};

TEST_F(InstallationKeeperTest, UnitCarriesLabelExecutableRestartAndStartAtLogin)
{
    keeper.installKeepAliveAgent();
    const auto unit = TemporaryFolder::readFile(keeper.keepAliveUnitPath());
    EXPECT_EQ(keeper.keepAliveUnitPath().filename(), "app.brenmoor.tessary.keepalive.service");
    EXPECT_NE(unit.find("ExecStart=" + platform.bundle->executablePath().string() + "\n"), std::string::npos);
    EXPECT_NE(unit.find("Restart=always\n"), std::string::npos);
    EXPECT_NE(unit.find("RestartSec=2\n"), std::string::npos);
    EXPECT_NE(unit.find("StartLimitIntervalSec=0\n"), std::string::npos);
    EXPECT_NE(unit.find("WantedBy=default.target\n"), std::string::npos);
    const auto link = keeper.keepAliveWantsLinkPath();
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::equivalent(link, keeper.keepAliveUnitPath()));
    EXPECT_EQ(fake.log->count("Installed keepalive launch agent"), 1U);
}

TEST_F(InstallationKeeperTest, ExecutablePathWithSpacesIsQuoted)
{
    const auto content = InstallationKeeper::keepAliveUnitContent("/home/a b/Tessary/Contents/bin/PellixApp");
    EXPECT_NE(content.find("ExecStart=\"/home/a b/Tessary/Contents/bin/PellixApp\"\n"), std::string::npos);
}

TEST_F(InstallationKeeperTest, EnsureRewritesADeletedUnitWithTheSameContent)
{
    keeper.installKeepAliveAgent();
    const auto original = TemporaryFolder::readFile(keeper.keepAliveUnitPath());
    keeper.ensureKeepAliveAgent();
    EXPECT_FALSE(fake.log->contains("LaunchAgent missing — re-installing"));

    std::filesystem::remove(keeper.keepAliveUnitPath());
    std::filesystem::remove(keeper.keepAliveWantsLinkPath());
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(fake.log->contains("LaunchAgent missing — re-installing"));
    EXPECT_EQ(TemporaryFolder::readFile(keeper.keepAliveUnitPath()), original);
    EXPECT_TRUE(std::filesystem::is_symlink(keeper.keepAliveWantsLinkPath()));
}

TEST_F(InstallationKeeperTest, ExistingUnitWithOtherContentIsNeverRewritten)
{
    TemporaryFolder::writeFile(keeper.keepAliveUnitPath(), "someone else's unit\n");
    keeper.installKeepAliveAgent();
    keeper.ensureKeepAliveAgent();
    EXPECT_EQ(TemporaryFolder::readFile(keeper.keepAliveUnitPath()), "someone else's unit\n");
    EXPECT_TRUE(fake.log->messages().empty());
}

TEST_F(InstallationKeeperTest, SystemWideAgentMeansEveryEnsureLogsAndWritesNothing)
{
    TemporaryFolder::writeFile(keeper.systemWideAgentPath(), "[Desktop Entry]\n");
    keeper.ensureKeepAliveAgent();
    keeper.ensureKeepAliveAgent();
    EXPECT_EQ(fake.log->count("LaunchAgent missing — re-installing"), 2U);
    EXPECT_FALSE(std::filesystem::exists(keeper.keepAliveUnitPath()));
}

TEST_F(InstallationKeeperTest, InstallFailureIsLoggedAndRetriedByTheNextEnsure)
{
    // A plain file where the folder must go makes the folder impossible to create.
    TemporaryFolder::writeFile(platform.paths.configHome / "systemd", "not a folder");
    keeper.installKeepAliveAgent();
    const auto messages = fake.log->messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].rfind("Failed to install keepalive: ", 0), 0U) << messages[0];

    std::filesystem::remove(platform.paths.configHome / "systemd");
    keeper.ensureKeepAliveAgent();
    EXPECT_TRUE(std::filesystem::exists(keeper.keepAliveUnitPath()));
}

TEST_F(InstallationKeeperTest, RemovalReportsWhetherThereWasAnythingToRemove)
{
    keeper.removeKeepAliveAgent();
    keeper.removeChromeHostManifest();
    EXPECT_EQ(fake.log->messages(), (std::vector<std::string>{"LaunchAgent not present or already removed",
                                                              "Chrome host file not present or already removed"}));

    fake.log->clear();
    keeper.installKeepAliveAgent();
    TemporaryFolder::writeFile(keeper.chromeHostManifestPath(), "{}");
    fake.log->clear();
    keeper.removeKeepAliveAgent();
    keeper.removeChromeHostManifest();
    EXPECT_EQ(fake.log->messages(),
              (std::vector<std::string>{"Removed keepalive launch agent", "Chrome native messaging host removed"}));
    EXPECT_FALSE(std::filesystem::exists(keeper.keepAliveUnitPath()));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(keeper.keepAliveWantsLinkPath())));
    EXPECT_TRUE(std::filesystem::is_directory(keeper.chromeHostManifestPath().parent_path()));
}

TEST_F(InstallationKeeperTest, ChromeManifestLivesInTheLinuxChromeFolder)
{
    EXPECT_EQ(keeper.chromeHostManifestPath(),
              platform.paths.configHome / "google-chrome" / "NativeMessagingHosts" / "app.brenmoor.tessary.json");
}

TEST_F(InstallationKeeperTest, SettingsOpenNeverRunsAfterTheKeeperIsGone)
{
    fake.writeProfileResource();
    {
        InstallationKeeper shortLived(platform.paths, platform.bundle, platform.mainQueue, platform.launcher,
                                      platform.hostFacts, platform.adminCheck, Logger(fake.log, "s", "c"));
        shortLived.openMDMProfile();
    }
    fake.mainQueue->advance(std::chrono::seconds(3));
    EXPECT_EQ(fake.launcher->opened.size(), 1U);
}

}  // namespace
}  // namespace tessary
