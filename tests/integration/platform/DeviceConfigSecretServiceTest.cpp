#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "agent/core/DeviceConfig.h"
#include "platform/linux/SecretServiceStore.h"
#include "tests/integration/platform/SharedKeyring.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using testing::ChildProcess;
using testing::sharedKeyring;

constexpr auto kService = DeviceConfig::kServiceName;
constexpr auto kRealLimit = std::chrono::seconds(30);

// Appends a method's reply arguments.
using Answer = std::function<void(DBusMessageIter*)>;

void appendText(DBusMessageIter* to, int type, const char* text)
{
    dbus_message_iter_append_basic(to, type, &text);
}

void appendPaths(DBusMessageIter* to, std::initializer_list<const char*> paths)
{
    DBusMessageIter array;
    dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, "o", &array);
    for (const char* path : paths)
        appendText(&array, DBUS_TYPE_OBJECT_PATH, path);
    dbus_message_iter_close_container(to, &array);
}

const Answer kNothing = [](DBusMessageIter*) {};
const Answer kSession = [](DBusMessageIter* to) {
    DBusMessageIter variant;
    dbus_message_iter_open_container(to, DBUS_TYPE_VARIANT, "s", &variant);
    appendText(&variant, DBUS_TYPE_STRING, "");
    dbus_message_iter_close_container(to, &variant);
    appendText(to, DBUS_TYPE_OBJECT_PATH, "/session/1");
};
const Answer kOneLockedItem = [](DBusMessageIter* to) {
    appendPaths(to, {});
    appendPaths(to, {"/item/1"});
};

// A stand-in Secret Service on the shared bus (the keyring stopped), for what gnome-keyring never
// answers: each method gets the reply its row gives (methods without one get an error), and a
// prompt it is asked to show never ends.
class FakeSecretService {
public:
    explicit FakeSecretService(std::map<std::string, Answer> answers)
        : answers_(std::move(answers)), connection_(dbus_bus_get_private(DBUS_BUS_SESSION, nullptr))
    {
        answers_.emplace("Ping", kNothing);
        if (connection_ == nullptr)
            return;
        owned_ = dbus_bus_request_name(connection_, "org.freedesktop.secrets", DBUS_NAME_FLAG_DO_NOT_QUEUE,
                                       nullptr) == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
        thread_ = std::thread([this] { serve(); });
    }

    ~FakeSecretService()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        if (connection_ != nullptr) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }

    FakeSecretService(const FakeSecretService&) = delete;
    FakeSecretService& operator=(const FakeSecretService&) = delete;

    bool owned() const { return owned_; }
    bool received(const std::string& member) const
    {
        const std::lock_guard lock(mutex_);
        return received_.contains(member);
    }

private:
    void serve()
    {
        while (!stopping_ && dbus_connection_read_write(connection_, 20) == TRUE) {
            while (DBusMessage* call = dbus_connection_pop_message(connection_)) {
                if (dbus_message_get_type(call) == DBUS_MESSAGE_TYPE_METHOD_CALL)
                    answer(call);
                dbus_message_unref(call);
            }
        }
    }

    void answer(DBusMessage* call)
    {
        const std::string member = dbus_message_get_member(call);
        {
            const std::lock_guard lock(mutex_);
            received_.insert(member);
        }
        const auto found = answers_.find(member);
        DBusMessage* reply = found == answers_.end()
                                 ? dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_METHOD, "not in this row")
                                 : dbus_message_new_method_return(call);
        if (found != answers_.end()) {
            DBusMessageIter arguments;
            dbus_message_iter_init_append(reply, &arguments);
            found->second(&arguments);
        }
        dbus_connection_send(connection_, reply, nullptr);
        dbus_message_unref(reply);
    }

    std::map<std::string, Answer> answers_;
    DBusConnection* connection_;
    bool owned_ = false;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::set<std::string> received_;
    std::thread thread_;
};

// The keyring backend against gnome-keyring on a private bus, items checked with secret-tool.
class DeviceConfigSecretServiceTest : public ::testing::Test {
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

    // The keyring stopped and the fake in its place, its name taken on the bus.
    std::unique_ptr<FakeSecretService> fakeService(const std::map<std::string, Answer>& answers)
    {
        disturb();
        sharedKeyring().stopKeyring();
        // The bus frees the name of an earlier fake only once it sees that fake's connection close.
        std::unique_ptr<FakeSecretService> fake;
        EXPECT_TRUE(testing::waitUntil(
            [&] {
                fake = std::make_unique<FakeSecretService>(answers);
                return fake->owned();
            },
            kRealLimit))
            << "the fake could not take the Secret Service name";
        return fake;
    }

    SecretServiceStore store;

private:
    bool disturbed_ = false;
};

TEST_F(DeviceConfigSecretServiceTest, ItemsAreSharedWithSecretToolBothWays)
{
    const auto [status, output] =
        secretTool({"store", "--label=Tessary token", "service", kService, "account", "token"}, "tok-€-1");
    ASSERT_EQ(status, 0) << output;
    ASSERT_FALSE(store.write(kService, "familyId", "family 日本 👩‍👧").has_value());
    const auto items = store.readAll(kService);
    ASSERT_TRUE(items.hasValue()) << items.error().description;
    EXPECT_EQ(items.value(), (CredentialItems{{"token", "tok-€-1"}, {"familyId", "family 日本 👩‍👧"}}));
    const auto [found, value] = secretTool({"lookup", "service", kService, "account", "familyId"});
    EXPECT_EQ(found, 0);
    EXPECT_EQ(value, "family 日本 👩‍👧");
}

TEST_F(DeviceConfigSecretServiceTest, WritingAgainLeavesOneItemAndAnEmptyValueIsPresentUntilErased)
{
    ASSERT_FALSE(store.write(kService, "token", "first").has_value());
    ASSERT_FALSE(store.write(kService, "token", "second").has_value());
    EXPECT_EQ(store.readAll(kService).value(), (CredentialItems{{"token", "second"}}));
    EXPECT_EQ(itemCount("token"), 1U);
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

// The keyring is another process of the session: whatever it answers is checked, never trusted.
TEST_F(DeviceConfigSecretServiceTest, RepliesOfTheWrongShapeAreErrorsNeverCrashes)
{
    struct Row {
        const char* name;
        std::map<std::string, Answer> answers;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"a session answered with a text",
         {{"OpenSession", [](DBusMessageIter* to) { appendText(to, DBUS_TYPE_STRING, "session"); }}},
         "the Secret Service cannot be opened: the Secret Service answered \"s\" where \"vo\" was due"},
        {"a search answered with one list",
         {{"OpenSession", kSession}, {"SearchItems", [](DBusMessageIter* to) { appendPaths(to, {"/item/1"}); }}},
         "the keyring cannot be searched: the Secret Service answered \"ao\" where \"aoao\" was due"},
        {"a search answered with an error",
         {{"OpenSession", kSession}},
         "the keyring cannot be searched: not in this row"},
        {"an item whose attributes are a list",
         {{"OpenSession", kSession},
          {"SearchItems",
           [](DBusMessageIter* to) {
               appendPaths(to, {"/item/1"});
               appendPaths(to, {});
           }},
          {"GetAll",
           [](DBusMessageIter* to) {
               DBusMessageIter array;
               DBusMessageIter entry;
               DBusMessageIter variant;
               dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, "{sv}", &array);
               dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
               appendText(&entry, DBUS_TYPE_STRING, "Attributes");
               dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "ao", &variant);
               appendPaths(&variant, {"/account"});
               dbus_message_iter_close_container(&entry, &variant);
               dbus_message_iter_close_container(&array, &entry);
               dbus_message_iter_close_container(to, &array);
           }}},
         "a secret in the keyring cannot be read: the item's attributes are \"ao\", not a{ss}"},
        {"an unlock answered without its prompt",
         {{"OpenSession", kSession},
          {"SearchItems", kOneLockedItem},
          {"Unlock", [](DBusMessageIter* to) { appendPaths(to, {}); }}},
         "the keyring cannot be unlocked: the Secret Service answered \"ao\" where \"aoo\" was due"},
    };
    for (const auto& row : rows) {
        const auto fake = fakeService(row.answers);
        SecretServiceStore fresh;
        const auto items = fresh.readAll(kService);
        ASSERT_FALSE(items.hasValue()) << row.name;
        EXPECT_EQ(items.error().description, row.expected) << row.name;
    }
}

// The prompt may wait as long as the user takes; only stop() ends it.
TEST_F(DeviceConfigSecretServiceTest, StopEndsAWaitForAPrompt)
{
    const auto fake = fakeService({{"OpenSession", kSession},
                                   {"SearchItems", kOneLockedItem},
                                   {"Unlock",
                                    [](DBusMessageIter* to) {
                                        appendPaths(to, {});
                                        appendText(to, DBUS_TYPE_OBJECT_PATH, "/prompt/1");
                                    }},
                                   {"Prompt", kNothing}});
    auto read = std::async(std::launch::async, [this] { return store.readAll(kService); });
    ASSERT_TRUE(testing::waitUntil([&] { return fake->received("Prompt"); }, kRealLimit));
    EXPECT_NE(read.wait_for(std::chrono::milliseconds(0)), std::future_status::ready) << "the prompt ended early";
    store.stop();
    ASSERT_EQ(read.wait_for(kRealLimit), std::future_status::ready);
    const auto items = read.get();
    ASSERT_FALSE(items.hasValue());
    EXPECT_EQ(items.error().description, "the keyring cannot be unlocked: the store is stopping");
}

}  // namespace
}  // namespace tessary
