#include <gtest/gtest.h>

#include "agent/core/AppDelegate.h"
#include "agent/core/DeviceIdentifier.h"
#include "platform/linux/FileSecureStore.h"
#include "platform/linux/SecureStoreFactory.h"
#include "tests/integration/platform/SharedKeyring.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using testing::FakePlatform;
using testing::sharedKeyring;
using testing::TemporaryFolder;

constexpr auto kService = DeviceConfig::kServiceName;
// Real time for what the keyring and the store's worker do; the back-off itself runs in virtual time.
constexpr auto kRealLimit = std::chrono::seconds(30);

// The agent core over fakes and virtual time, with the real credential store (as the agent's main
// builds it) on gnome-keyring on a private bus that is absent, slow, locked, then available.
class CredentialStartupSecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!sharedKeyring().available())
            TESSARY_SKIP_WITHOUT(sharedKeyring().whyUnavailable());
        for (const auto* account : {"deviceId", "token", "familyId"})
            sharedKeyring().clear(kService, account);
    }

    void TearDown() override
    {
        delegate.reset();
        if (disturbed) {
            sharedKeyring().resumeKeyring();
            EXPECT_TRUE(sharedKeyring().startKeyring());
        }
    }

    // As an earlier launch left them: the keyring remembered, a paired device's items in it.
    void pairedInTheKeyring()
    {
        TemporaryFolder::writeFile(SecureStoreFactory::choiceFile(fake.paths), "secret-service\n");
        for (const auto& [account, value] : pairedItems)
            ASSERT_TRUE(sharedKeyring().store(kService, account, value));
    }

    void launch()
    {
        auto platform = fake.platform();
        platform.secureStore = SecureStoreFactory::forAgent(fake.paths, "", fake.mainQueue, fake.log);
        delegate = std::make_shared<AppDelegate>(platform);
        const auto before = std::chrono::steady_clock::now();
        delegate->applicationDidFinishLaunching([this] { ++launched; });
        launchCallTook = std::chrono::steady_clock::now() - before;
    }

    bool pumpUntilLogged(const std::string& line)
    {
        return fake.mainQueue->runUntil([&] { return fake.log->contains(line); }, kRealLimit);
    }

    std::size_t linesStartingWith(const std::string& prefix) const
    {
        std::size_t count = 0;
        for (const auto& message : fake.log->messages())
            count += message.starts_with(prefix) ? 1U : 0U;
        return count;
    }

    // Nothing of a launch that has not read its credentials: no "not set up", no new identifier.
    void expectStillWaiting(const char* when)
    {
        EXPECT_EQ(linesStartingWith("App launched — "), 0U) << when;
        EXPECT_FALSE(fake.log->contains("Device not set up — showing setup wizard")) << when;
        EXPECT_EQ(launched, 0) << when << ": no panel yet";
        EXPECT_EQ(fake.loginItem->registrations, 0) << when;
        EXPECT_FALSE(std::filesystem::exists(SecureStoreFactory::credentialsFile(fake.paths))) << when;
    }

    void expectMonitoringWithTheStoredIdentifier()
    {
        ASSERT_TRUE(pumpUntilLogged("Monitoring started")) << ::testing::PrintToString(fake.log->messages());
        EXPECT_TRUE(fake.log->contains(std::string("App launched — deviceId: ") + kDeviceId));
        EXPECT_TRUE(fake.log->contains("App launched — isSetUp: true, hasToken: true, hasFamilyId: true"));
        EXPECT_FALSE(fake.log->contains("Device not set up — showing setup wizard"));
        EXPECT_EQ(launched, 1);
        EXPECT_EQ(sharedKeyring().lookup(kService, "deviceId"), kDeviceId);
    }

    static constexpr const char* kDeviceId = "device-00000000-0000-4000-8000-000000000001";
    const std::map<std::string, std::string> pairedItems = {
        {"deviceId", kDeviceId}, {"token", "token-1"}, {"familyId", "family-1"}};
    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate;
    int launched = 0;
    std::chrono::steady_clock::duration launchCallTook{};
    bool disturbed = false;
};

TEST_F(CredentialStartupSecretServiceTest, AKeyringNotUpYetIsWaitedForWithAGrowingDelay)
{
    pairedInTheKeyring();
    disturbed = true;
    sharedKeyring().stopKeyring();
    launch();
    ASSERT_TRUE(pumpUntilLogged("Credential store unavailable — retrying in 1 s: no Secret Service on the session bus"));
    expectStillWaiting("first attempt");

    fake.mainQueue->advance(std::chrono::seconds(1));
    ASSERT_TRUE(pumpUntilLogged("Credential store unavailable — retrying in 2 s: no Secret Service on the session bus"));
    expectStillWaiting("second attempt");

    ASSERT_TRUE(sharedKeyring().startKeyring());
    fake.mainQueue->advance(std::chrono::seconds(2));
    expectMonitoringWithTheStoredIdentifier();
    EXPECT_EQ(linesStartingWith("Credential store unavailable"), 2U);
}

TEST_F(CredentialStartupSecretServiceTest, AKeyringThatDoesNotAnswerNeverHoldsTheMainThread)
{
    pairedInTheKeyring();
    disturbed = true;
    sharedKeyring().pauseKeyring();
    launch();
    EXPECT_LT(launchCallTook, std::chrono::seconds(2)) << "the launch callback waited on D-Bus";
    ASSERT_TRUE(pumpUntilLogged("Credential store unavailable — retrying in 1 s: the Secret Service does not answer"));
    expectStillWaiting("while it is silent");

    sharedKeyring().resumeKeyring();
    fake.mainQueue->advance(std::chrono::seconds(1));
    expectMonitoringWithTheStoredIdentifier();
}

TEST_F(CredentialStartupSecretServiceTest, ALockedKeyringIsWaitedForAndItsIdentifierKept)
{
    pairedInTheKeyring();
    disturbed = true;
    ASSERT_TRUE(sharedKeyring().lockKeyring());
    launch();
    ASSERT_TRUE(pumpUntilLogged("Credential store unavailable — retrying in 1 s: the keyring is locked"));
    expectStillWaiting("while locked");
    fake.mainQueue->advance(std::chrono::seconds(1));
    ASSERT_TRUE(pumpUntilLogged("Credential store unavailable — retrying in 2 s: the keyring is locked"));

    // Unlocked as a login unlocks it.
    ASSERT_TRUE(sharedKeyring().startKeyring());
    fake.mainQueue->advance(std::chrono::seconds(2));
    expectMonitoringWithTheStoredIdentifier();
}

TEST_F(CredentialStartupSecretServiceTest, AFirstLaunchChoosesTheKeyringAndStoresTheNewIdentifierThere)
{
    launch();
    ASSERT_TRUE(pumpUntilLogged("Device not set up — showing setup wizard"));
    EXPECT_EQ(launched, 1);
    EXPECT_EQ(TemporaryFolder::readFile(SecureStoreFactory::choiceFile(fake.paths)), "secret-service\n");
    std::string logged;
    for (const auto& message : fake.log->messages())
        if (message.starts_with("App launched — deviceId: "))
            logged = message.substr(std::string("App launched — deviceId: ").size());
    EXPECT_TRUE(DeviceIdentifier::isWellFormed(logged)) << logged;
    EXPECT_TRUE(testing::waitUntil([&] { return sharedKeyring().lookup(kService, "deviceId") == logged; }, kRealLimit));
    EXPECT_FALSE(std::filesystem::exists(SecureStoreFactory::credentialsFile(fake.paths)));
}

TEST_F(CredentialStartupSecretServiceTest, CredentialsInTheFileMoveIntoTheKeyringAtTheFirstChoice)
{
    FileSecureStore file(SecureStoreFactory::credentialsFile(fake.paths));
    for (const auto& [account, value] : pairedItems)
        ASSERT_FALSE(file.write(kService, account, value).has_value());
    launch();
    expectMonitoringWithTheStoredIdentifier();
    EXPECT_EQ(sharedKeyring().lookup(kService, "token"), "token-1");
    EXPECT_EQ(sharedKeyring().lookup(kService, "familyId"), "family-1");
    EXPECT_FALSE(file.exists());
    EXPECT_EQ(TemporaryFolder::readFile(SecureStoreFactory::choiceFile(fake.paths)), "secret-service\n");
}

}  // namespace
}  // namespace tessary
