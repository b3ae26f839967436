#include <gtest/gtest.h>

#include "agent/core/DeviceConfig.h"
#include "platform/linux/SecretServiceStore.h"
#include "tests/integration/platform/SharedKeyring.h"
#include "tests/support/ChildProcess.h"

namespace tessary {
namespace {

using testing::ChildProcess;
using testing::sharedKeyring;

constexpr auto kService = DeviceConfig::kServiceName;

// The keyring backend against gnome-keyring on a private bus, items checked with secret-tool.
class DeviceConfigSecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!sharedKeyring().available())
            GTEST_SKIP() << sharedKeyring().whyUnavailable();
        for (const auto* account : {"deviceId", "token", "familyId"})
            sharedKeyring().clear(kService, account);
    }

    void TearDown() override
    {
        // A test that stopped, paused or locked the keyring leaves a running, unlocked one.
        if (disturbed_) {
            sharedKeyring().resumeKeyring();
            EXPECT_TRUE(sharedKeyring().startKeyring());
        }
    }

    std::pair<int, std::string> secretTool(std::vector<std::string> arguments,
                                           std::optional<std::string> input = std::nullopt)
    {
        arguments.insert(arguments.begin(), "secret-tool");
        return ChildProcess::run(std::move(arguments), sharedKeyring().environment(), std::move(input));
    }

    std::size_t itemCount(const std::string& account)
    {
        const auto [status, output] = secretTool({"search", "--all", "service", kService, "account", account});
        std::size_t count = 0;
        for (std::size_t at = output.find("label = "); at != std::string::npos; at = output.find("label = ", at + 1))
            ++count;
        return count;
    }

    void disturb() { disturbed_ = true; }

    SecretServiceStore store;

private:
    bool disturbed_ = false;
};

TEST_F(DeviceConfigSecretServiceTest, ItemStoredBySecretToolIsRead)
{
    const auto [status, output] =
        secretTool({"store", "--label=Tessary token", "service", kService, "account", "token"}, "tok-€-1");
    ASSERT_EQ(status, 0) << output;
    const auto items = store.readAll(kService);
    ASSERT_TRUE(items.hasValue()) << items.error().description;
    EXPECT_EQ(items.value(), (CredentialItems{{"token", "tok-€-1"}}));
}

TEST_F(DeviceConfigSecretServiceTest, ItemWrittenByTheAgentIsReadBySecretTool)
{
    ASSERT_FALSE(store.write(kService, "familyId", "family 日本 👩‍👧").has_value());
    const auto [status, output] = secretTool({"lookup", "service", kService, "account", "familyId"});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "family 日本 👩‍👧");
}

TEST_F(DeviceConfigSecretServiceTest, WritingTwiceLeavesExactlyOneItem)
{
    ASSERT_FALSE(store.write(kService, "token", "first").has_value());
    ASSERT_FALSE(store.write(kService, "token", "second").has_value());
    EXPECT_EQ(store.readAll(kService).value(), (CredentialItems{{"token", "second"}}));
    EXPECT_EQ(itemCount("token"), 1U);
}

TEST_F(DeviceConfigSecretServiceTest, EmptyValueIsPresentAndEraseRemovesIt)
{
    ASSERT_FALSE(store.write(kService, "token", "").has_value());
    EXPECT_EQ(store.readAll(kService).value(), (CredentialItems{{"token", ""}}));
    ASSERT_FALSE(store.erase(kService, "token").has_value());
    EXPECT_TRUE(store.readAll(kService).value().empty());
    EXPECT_EQ(itemCount("token"), 0U);
    EXPECT_FALSE(store.erase(kService, "token").has_value()) << "erasing nothing succeeds";
}

// What the old lookup answered as "absent" is a failure: the items are there, only locked.
TEST_F(DeviceConfigSecretServiceTest, ALockedKeyringIsAFailureNeverAbsent)
{
    ASSERT_TRUE(sharedKeyring().store(kService, "deviceId", "device-kept"));
    disturb();
    ASSERT_TRUE(sharedKeyring().lockKeyring());
    const auto locked = store.readAll(kService);
    ASSERT_FALSE(locked.hasValue());
    EXPECT_EQ(locked.error().description, "the keyring is locked");

    ASSERT_TRUE(sharedKeyring().startKeyring());
    const auto unlocked = store.readAll(kService);
    ASSERT_TRUE(unlocked.hasValue()) << unlocked.error().description;
    EXPECT_EQ(unlocked.value(), (CredentialItems{{"deviceId", "device-kept"}}));
}

TEST_F(DeviceConfigSecretServiceTest, AStoppedKeyringIsAbsentAndAPausedOneDoesNotAnswer)
{
    disturb();
    sharedKeyring().stopKeyring();
    EXPECT_EQ(store.reach(), CredentialBackend::Reach::absent);
    const auto gone = store.readAll(kService);
    ASSERT_FALSE(gone.hasValue());
    EXPECT_EQ(gone.error().description, "no Secret Service on the session bus");

    ASSERT_TRUE(sharedKeyring().startKeyring());
    EXPECT_EQ(store.reach(), CredentialBackend::Reach::answers);
    sharedKeyring().pauseKeyring();
    EXPECT_EQ(store.reach(), CredentialBackend::Reach::noAnswer);
    sharedKeyring().resumeKeyring();
    EXPECT_EQ(store.reach(), CredentialBackend::Reach::answers);
}

TEST_F(DeviceConfigSecretServiceTest, AStoppedStoreFailsAtOnce)
{
    store.stop();
    EXPECT_FALSE(store.readAll(kService).hasValue());
    EXPECT_TRUE(store.write(kService, "token", "t").has_value());
    EXPECT_EQ(itemCount("token"), 0U);
}

}  // namespace
}  // namespace tessary
