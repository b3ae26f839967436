#include <gtest/gtest.h>

#include "agent/core/AppDelegate.h"
#include "agent/core/DeviceIdentifier.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using testing::FakePlatform;
using testing::TemporaryFolder;

constexpr auto kService = "app.brenmoor.tessary.device";

class AppDelegateStartupTest : public ::testing::Test {
protected:
    std::shared_ptr<AppDelegate> launch(FakePlatform& target)
    {
        auto delegate = std::make_shared<AppDelegate>(target.platform());
        delegate->applicationDidFinishLaunching();
        target.mainQueue->runUntilIdle();
        return delegate;
    }

    void store(FakePlatform& target, const std::string& account, const std::string& value)
    {
        target.secureStore->items[{kService, account}] = value;
    }

    std::vector<std::string> launchLines(const FakePlatform& target)
    {
        std::vector<std::string> lines;
        for (const auto& message : target.log->messages())
            if (message.rfind("App launched — ", 0) == 0)
                lines.push_back(message);
        return lines;
    }

    FakePlatform fake;
};

TEST_F(AppDelegateStartupTest, SecondInstanceLogsAndTouchesNothing)
{
    fake.instanceLock->available = false;
    auto delegate = std::make_shared<AppDelegate>(fake.platform());
    const int writesBefore = fake.secureStore->writes;
    delegate->applicationDidFinishLaunching();

    EXPECT_EQ(fake.log->messages(), std::vector<std::string>{"Another instance already running — exiting"});
    EXPECT_EQ(fake.terminateRequests, 1);
    EXPECT_EQ(fake.showRunningInstanceRequests, 1);
    EXPECT_EQ(fake.secureStore->reads, 0);
    EXPECT_EQ(fake.secureStore->writes, writesBefore);
    EXPECT_EQ(fake.loginItem->registrations, 0);
    EXPECT_FALSE(std::filesystem::exists(delegate->installationKeeper().keepAliveUnitPath()));
}

TEST_F(AppDelegateStartupTest, FirstLaunchCreatesDeviceIdAndNextLaunchLogsTheSameOne)
{
    launch(fake);
    const auto stored = fake.secureStore->items.at({kService, "deviceId"});
    EXPECT_TRUE(DeviceIdentifier::isWellFormed(stored)) << stored;
    EXPECT_EQ(launchLines(fake).at(0), "App launched — deviceId: " + stored);

    fake.log->clear();
    launch(fake);
    EXPECT_EQ(launchLines(fake).at(0), "App launched — deviceId: " + stored);
    EXPECT_EQ(fake.secureStore->items.at({kService, "deviceId"}), stored);
}

TEST_F(AppDelegateStartupTest, LogsTheFourLaunchLinesInOrder)
{
    store(fake, "deviceId", "device-00000000-0000-4000-8000-000000000000");
    store(fake, "token", "t");
    launch(fake);
    EXPECT_EQ(launchLines(fake),
              (std::vector<std::string>{
                  "App launched — deviceId: device-00000000-0000-4000-8000-000000000000",
                  "App launched — isSetUp: false, hasToken: true, hasFamilyId: false",
                  "App launched — bundle: " + fake.bundlePath.string(),
                  "App launched — version: 1.2.0 build: 42",
              }));
}

TEST_F(AppDelegateStartupTest, MissingOrNonTextVersionKeysLogQuestionMarks)
{
    FakePlatform bare(R"({"CFBundleIdentifier":"app.brenmoor.tessary","CFBundleVersion":7})");
    launch(bare);
    EXPECT_EQ(launchLines(bare).at(3), "App launched — version: ? build: ?");
}

TEST_F(AppDelegateStartupTest, HalfStoredCredentialsAreNotSetUp)
{
    for (const auto* present : {"token", "familyId"}) {
        FakePlatform half;
        store(half, present, "value");
        auto delegate = launch(half);
        EXPECT_FALSE(delegate->appState().isSetUp()) << present;
        EXPECT_TRUE(half.log->contains("Device not set up — showing setup wizard")) << present;
    }
}

TEST_F(AppDelegateStartupTest, SetUpDeviceSkipsTheWizardAndTheProfile)
{
    store(fake, "token", "secret");
    store(fake, "familyId", "family-1");
    fake.adminCheck->admin = true;
    fake.writeProfileResource();
    auto delegate = launch(fake);

    EXPECT_TRUE(delegate->appState().isSetUp());
    EXPECT_FALSE(fake.log->contains("Device not set up — showing setup wizard"));
    EXPECT_TRUE(fake.launcher->opened.empty());
    EXPECT_EQ(launchLines(fake).at(1), "App launched — isSetUp: true, hasToken: true, hasFamilyId: true");
}

TEST_F(AppDelegateStartupTest, RegistersLoginItemAndKeepAliveUnit)
{
    auto delegate = launch(fake);
    EXPECT_EQ(fake.loginItem->registrations, 1);
    EXPECT_TRUE(fake.log->contains("Registered as login item"));
    EXPECT_TRUE(fake.log->contains("Installed keepalive launch agent"));
    EXPECT_TRUE(std::filesystem::exists(delegate->installationKeeper().keepAliveUnitPath()));
}

TEST_F(AppDelegateStartupTest, LoginItemFailureIsLoggedAndStartUpGoesOn)
{
    fake.loginItem->failure = Error{"disk full"};
    launch(fake);
    EXPECT_TRUE(fake.log->contains("Failed to register login item: disk full"));
    EXPECT_TRUE(fake.log->contains("Installed keepalive launch agent"));
}

TEST_F(AppDelegateStartupTest, SystemWideAutostartSuppressesLoginItemAndKeepAlive)
{
    TemporaryFolder::writeFile(fake.paths.systemConfigDir / "autostart" / "app.brenmoor.tessary.desktop", "");
    auto delegate = launch(fake);
    EXPECT_EQ(fake.loginItem->registrations, 0);
    EXPECT_FALSE(fake.log->contains("Registered as login item"));
    EXPECT_FALSE(std::filesystem::exists(delegate->installationKeeper().keepAliveUnitPath()));
    EXPECT_FALSE(std::filesystem::exists(fake.paths.configHome / "systemd"));
}

TEST_F(AppDelegateStartupTest, ProfileOpensOnceForAnAdministrator)
{
    fake.adminCheck->admin = true;
    fake.writeProfileResource();
    auto first = launch(fake);
    ASSERT_EQ(fake.launcher->opened.size(), 1U);
    EXPECT_NE(fake.launcher->opened[0].find("MDM/tessary-profile-signed.mobileconfig"), std::string::npos);
    EXPECT_TRUE(fake.userDefaults->values["mdmPromptShown"]);
    EXPECT_EQ(fake.adminCheck->askedFor, "child");

    fake.mainQueue->advance(std::chrono::milliseconds(1999));
    EXPECT_EQ(fake.launcher->opened.size(), 1U);
    fake.mainQueue->advance(std::chrono::milliseconds(1));
    EXPECT_EQ(fake.launcher->opened.size(), 2U);
    EXPECT_TRUE(fake.log->contains("Opened System Settings → Profiles"));

    auto second = launch(fake);
    fake.mainQueue->advance(std::chrono::seconds(5));
    EXPECT_EQ(fake.launcher->opened.size(), 2U);
}

TEST_F(AppDelegateStartupTest, StandardUserNeverGetsTheProfile)
{
    fake.writeProfileResource();
    launch(fake);
    fake.mainQueue->advance(std::chrono::seconds(5));
    EXPECT_TRUE(fake.launcher->opened.empty());
    EXPECT_FALSE(fake.userDefaults->values["mdmPromptShown"]);
}

TEST_F(AppDelegateStartupTest, MissingProfileIsLoggedAndNotRetried)
{
    fake.adminCheck->admin = true;
    launch(fake);
    EXPECT_TRUE(fake.log->contains("MDM profile not found in bundle"));
    EXPECT_TRUE(fake.userDefaults->values["mdmPromptShown"]);
    EXPECT_TRUE(fake.launcher->opened.empty());
}

TEST_F(AppDelegateStartupTest, HttpClientStartsWithoutCredentialsOnTheConfiguredService)
{
    auto platform = fake.platform();
    platform.serviceURL = "https://127.0.0.1:8443";
    AppDelegate delegate(std::move(platform));
    EXPECT_EQ(delegate.apiClient()->versionURL(), "https://127.0.0.1:8443/releases/version.json");
    EXPECT_FALSE(delegate.apiClient()->deviceId().has_value());
    EXPECT_FALSE(delegate.apiClient()->token().has_value());
    EXPECT_FALSE(delegate.apiClient()->lastError().has_value());

    AppDelegate builtIn(fake.platform());
    EXPECT_EQ(builtIn.apiClient()->packageURL(), "https://api.tessary.app/releases/Tessary.pkg");
}

TEST_F(AppDelegateStartupTest, AppStateIsCreatedOnceFromTheStoreAtFirstRead)
{
    auto delegate = std::make_shared<AppDelegate>(fake.platform());
    EXPECT_EQ(fake.secureStore->reads, 0);  // construction does no I/O
    store(fake, "token", "t");
    store(fake, "familyId", "f");
    auto& state = delegate->appState();
    EXPECT_TRUE(state.isSetUp());
    fake.secureStore->items.clear();
    EXPECT_EQ(&delegate->appState(), &state);
    EXPECT_TRUE(delegate->appState().isSetUp());
}

}  // namespace
}  // namespace tessary
