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

// Only a copy a person started asks the running agent for its panel; none touches or watches anything.
TEST_F(AppDelegateStartupTest, ADuplicateLeavesWithoutTouchingAnything)
{
    struct Row {
        const char* name;
        LaunchOrigin origin;
        int exitStatus;
        int showRunningInstanceRequests;
    };
    const Row rows[] = {
        {"started by a person: the running agent shows its panel", LaunchOrigin::person, 0, 1},
        {"keep-alive agent: a status after which it is not started again", LaunchOrigin::keepAliveAgent, 75, 0},
        {"session autostart: a plain exit", LaunchOrigin::session, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform target;
        target.instanceLock->available = false;
        target.launchOrigin = row.origin;
        const int writesBefore = target.secureStore->writes;
        int panels = 0;
        auto delegate = std::make_shared<AppDelegate>(target.platform());
        delegate->applicationDidFinishLaunching([&panels] { ++panels; });
        // The keep-alive agent's copy first waits for a lock that may be about to be handed over.
        target.mainQueue->advance(LaunchDecision::kPause * LaunchDecision::kLockTries);
        EXPECT_EQ(target.log->messages(), std::vector<std::string>{"Another instance already running — exiting"});
        EXPECT_EQ(target.showRunningInstanceRequests, row.showRunningInstanceRequests);
        target.installedProgram->replaced = true;
        target.mainQueue->advance(std::chrono::minutes(1));
        EXPECT_EQ(target.terminateRequests, 1) << "once: a copy that leaves never watches for an update";
        EXPECT_EQ(target.exitStatus, row.exitStatus);
        EXPECT_EQ(panels, 0);
        EXPECT_EQ(target.secureStore->opens, 0);
        EXPECT_EQ(target.secureStore->reads, 0);
        EXPECT_EQ(target.secureStore->writes, writesBefore);
        EXPECT_EQ(target.loginItem->registrations, 0);
        EXPECT_FALSE(std::filesystem::exists(target.keepAliveUnit->unitPath()));
        EXPECT_EQ(target.serviceManager->readinessQueries, 0);
    }
}

TEST_F(AppDelegateStartupTest, AFirstCopyHandsTheRunningOverToTheKeepAliveAgentAndTouchesNothing)
{
    ASSERT_FALSE(fake.keepAliveUnit->install(fake.platform().bundle->executablePath()).has_value());
    fake.serviceManager->ready = true;
    // The manager's agent takes the lock as soon as this copy lets it go.
    fake.serviceManager->onStart = [this] { fake.instanceLock->available = false; };
    fake.launchOrigin = LaunchOrigin::session;
    const auto delegate = launch(fake);
    EXPECT_EQ(fake.terminateRequests, 0) << "leaves only once the manager's agent holds the lock";
    fake.mainQueue->advance(LaunchDecision::kPause);

    EXPECT_EQ(fake.log->messages(), std::vector<std::string>{"Started the keepalive launch agent — exiting"});
    EXPECT_EQ(fake.serviceManager->startRequests, 1);
    EXPECT_FALSE(fake.instanceLock->held);
    EXPECT_EQ(fake.instanceLock->releases, 1);
    EXPECT_EQ(fake.terminateRequests, 1);
    EXPECT_EQ(fake.exitStatus, 0);
    EXPECT_EQ(fake.showRunningInstanceRequests, 0);
    EXPECT_EQ(fake.secureStore->reads, 0);
    EXPECT_EQ(fake.loginItem->registrations, 0);
}

TEST_F(AppDelegateStartupTest, ARefusedHandOverRunsTheAgentHere)
{
    ASSERT_FALSE(fake.keepAliveUnit->install(fake.platform().bundle->executablePath()).has_value());
    fake.serviceManager->ready = true;
    fake.serviceManager->accepts = false;
    launch(fake);

    EXPECT_EQ(fake.log->messages().at(0), "Could not start the keepalive launch agent");
    EXPECT_EQ(fake.log->records().at(0).level, LogLevel::error);
    EXPECT_TRUE(fake.log->contains("Device not set up — showing setup wizard"));
    EXPECT_TRUE(fake.instanceLock->held);
    EXPECT_EQ(fake.terminateRequests, 0);
}

TEST_F(AppDelegateStartupTest, TheAgentRunsHereWhenTheKeepAliveAgentCannotRunIt)
{
    struct Row {
        const char* name;
        LaunchOrigin origin;
        bool unitInstalled;
        bool managerReady;
        int readinessQueries;
    };
    const Row rows[] = {
        {"started by the keep-alive agent itself", LaunchOrigin::keepAliveAgent, true, true, 0},
        {"no keep-alive unit", LaunchOrigin::person, false, true, 0},
        {"no service manager running the session", LaunchOrigin::person, true, false, 1},
    };
    for (const auto& row : rows) {
        FakePlatform target;
        target.launchOrigin = row.origin;
        target.serviceManager->ready = row.managerReady;
        if (row.unitInstalled) {
            ASSERT_FALSE(target.keepAliveUnit->install(target.platform().bundle->executablePath()).has_value());
        }
        launch(target);
        EXPECT_EQ(target.terminateRequests, 0) << row.name;
        EXPECT_TRUE(target.instanceLock->held) << row.name;
        EXPECT_EQ(target.serviceManager->startRequests, 0) << row.name;
        EXPECT_EQ(target.serviceManager->readinessQueries, row.readinessQueries) << row.name;
        EXPECT_FALSE(launchLines(target).empty()) << row.name;
    }
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
    EXPECT_TRUE(std::filesystem::exists(fake.keepAliveUnit->unitPath()));
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
    fake.loginItem->systemWide = true;
    auto delegate = launch(fake);
    EXPECT_EQ(fake.loginItem->registrations, 0);
    EXPECT_FALSE(fake.log->contains("Registered as login item"));
    EXPECT_FALSE(std::filesystem::exists(fake.keepAliveUnit->unitPath()));
    EXPECT_FALSE(std::filesystem::exists(fake.paths.configHome / "systemd"));
}

TEST_F(AppDelegateStartupTest, AnAdministratorIsToldOnceWhatToInstallAndNoWindowOpens)
{
    const std::string missing = "Browser policy not installed: an administrator must install the Tessary package so "
                                "that the browsers keep the extension";
    struct Row {
        const char* name;
        bool admin;
        bool policyInstalled;
        std::optional<std::string> logged;
    };
    const Row rows[] = {
        {"administrator, policy from the package", true, true, "Browser policy installed system-wide"},
        {"administrator, no policy", true, false, missing},
        {"standard user", false, false, std::nullopt},
    };
    for (const auto& row : rows) {
        FakePlatform target;
        target.adminCheck->admin = row.admin;
        target.browserPolicy->installed = row.policyInstalled;
        for (int launchNumber = 1; launchNumber <= 2; ++launchNumber) {
            auto delegate = launch(target);
            target.mainQueue->advance(std::chrono::seconds(5));
        }
        EXPECT_TRUE(target.launcher->opened.empty()) << row.name;
        EXPECT_EQ(target.userDefaults->values["mdmPromptShown"], row.admin) << row.name;
        EXPECT_EQ(target.log->count(row.logged.value_or(missing)), row.logged ? 1U : 0U)
            << row.name << ": once, at the first launch";
    }
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

// The credential store at launch: a backend that cannot be read (daemon not up, locked, a silent
// bus) is waited for, with a growing delay, and never taken for a device that is not set up.
class CredentialStoreStartupTest : public AppDelegateStartupTest {
protected:
    std::shared_ptr<AppDelegate> launchWaiting(FakePlatform& target)
    {
        auto delegate = std::make_shared<AppDelegate>(target.platform());
        delegate->applicationDidFinishLaunching([this] { ++launched; });
        target.mainQueue->runUntilIdle();
        return delegate;
    }

    void pair(FakePlatform& target)
    {
        store(target, "deviceId", "device-00000000-0000-4000-8000-000000000000");
        store(target, "token", "t");
        store(target, "familyId", "f");
    }

    std::vector<std::string> retryLines(const FakePlatform& target)
    {
        std::vector<std::string> lines;
        for (const auto& message : target.log->messages())
            if (message.rfind("Credential store unavailable", 0) == 0)
                lines.push_back(message);
        return lines;
    }

    void expectNothingDecided(const FakePlatform& target, const std::string& when)
    {
        EXPECT_TRUE(launchLines(target).empty()) << when;
        EXPECT_FALSE(target.log->contains("Device not set up — showing setup wizard")) << when;
        EXPECT_FALSE(target.log->contains("Monitoring started")) << when;
        EXPECT_EQ(target.secureStore->writes, 0) << when << ": no identifier written";
        EXPECT_EQ(target.loginItem->registrations, 0) << when;
        EXPECT_EQ(launched, 0) << when << ": no panel";
    }

    int launched = 0;
};

TEST_F(CredentialStoreStartupTest, RetriesAfter1_2_4_8_16_32_ThenEvery60SecondsAndLogsEachAttempt)
{
    pair(fake);
    for (int i = 0; i < 9; ++i)
        fake.secureStore->openFailures.push_back(Error{"the keyring is locked"});
    auto delegate = launchWaiting(fake);
    ASSERT_EQ(fake.secureStore->opens, 1);
    expectNothingDecided(fake, "after the first attempt");

    const long delays[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
    for (std::size_t attempt = 0; attempt < std::size(delays); ++attempt) {
        const auto lines = retryLines(fake);
        ASSERT_EQ(lines.size(), attempt + 1);
        EXPECT_EQ(lines.back(), "Credential store unavailable — retrying in " + std::to_string(delays[attempt]) +
                                    " s: the keyring is locked");
        fake.mainQueue->advance(std::chrono::seconds(delays[attempt]) - std::chrono::milliseconds(1));
        EXPECT_EQ(fake.secureStore->opens, static_cast<int>(attempt) + 1) << "too early";
        expectNothingDecided(fake, "attempt " + std::to_string(attempt + 1));
        fake.mainQueue->advance(std::chrono::milliseconds(1));
        EXPECT_EQ(fake.secureStore->opens, static_cast<int>(attempt) + 2);
    }

    // The tenth attempt reads the store: start-up goes on exactly as it always did.
    EXPECT_EQ(retryLines(fake).size(), 9U);
    EXPECT_EQ(launchLines(fake),
              (std::vector<std::string>{
                  "App launched — deviceId: device-00000000-0000-4000-8000-000000000000",
                  "App launched — isSetUp: true, hasToken: true, hasFamilyId: true",
                  "App launched — bundle: " + fake.bundlePath.string(),
                  "App launched — version: 1.2.0 build: 42",
              }));
    EXPECT_TRUE(fake.log->contains("Monitoring started"));
    EXPECT_TRUE(delegate->appState().isSetUp());
    EXPECT_EQ(launched, 1);
    EXPECT_EQ(fake.secureStore->items.at({kService, "deviceId"}), "device-00000000-0000-4000-8000-000000000000");
    fake.mainQueue->advance(std::chrono::minutes(10));
    EXPECT_EQ(fake.secureStore->opens, 10) << "no attempt after success";
}

TEST_F(CredentialStoreStartupTest, ASlowStoreHoldsTheStartUpUntilItAnswers)
{
    pair(fake);
    fake.secureStore->holdOpens = true;
    auto delegate = launchWaiting(fake);
    fake.mainQueue->advance(std::chrono::minutes(5));
    expectNothingDecided(fake, "while the read is under way");
    EXPECT_TRUE(retryLines(fake).empty()) << "a read under way is no failure";
    EXPECT_EQ(fake.secureStore->opens, 1);

    fake.secureStore->completeHeldOpens();
    EXPECT_EQ(launchLines(fake).size(), 4U);
    EXPECT_TRUE(fake.log->contains("Monitoring started"));
    EXPECT_EQ(launched, 1);
}

TEST_F(CredentialStoreStartupTest, AnUnreadableStoreNeverCreatesAnIdentifierOrTheWizard)
{
    fake.secureStore->openFailures = {Error{"the keyring is locked"}, Error{"the keyring is locked"}};
    auto delegate = launchWaiting(fake);
    fake.mainQueue->advance(std::chrono::seconds(1));
    expectNothingDecided(fake, "after two failures");
    EXPECT_EQ(fake.secureStore->reads, 0) << "nothing is read from a store that is not open";

    fake.mainQueue->advance(std::chrono::seconds(2));
    EXPECT_TRUE(DeviceIdentifier::isWellFormed(fake.secureStore->items.at({kService, "deviceId"})));
    EXPECT_TRUE(fake.log->contains("Device not set up — showing setup wizard"));
}

TEST_F(CredentialStoreStartupTest, AStateReadBeforeTheCredentialsWereKnownLearnsThem)
{
    pair(fake);
    fake.secureStore->holdOpens = true;
    auto delegate = launchWaiting(fake);
    // The in-memory fake answers early; the real store would answer absent until opened.
    fake.secureStore->items.erase({kService, "token"});
    EXPECT_FALSE(delegate->appState().isSetUp());
    store(fake, "token", "t");
    fake.secureStore->completeHeldOpens();
    EXPECT_TRUE(delegate->appState().isSetUp());
}

TEST_F(CredentialStoreStartupTest, AnAgentGoneWhileWaitingRetriesNothing)
{
    fake.secureStore->openFailures = {Error{"the keyring is locked"}};
    auto delegate = launchWaiting(fake);
    delegate.reset();
    fake.mainQueue->advance(std::chrono::seconds(5));
    EXPECT_EQ(fake.secureStore->opens, 1);
}

}  // namespace
}  // namespace tessary
