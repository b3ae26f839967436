#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent/core/DeviceConfig.h"
#include "agent/core/DeviceIdentifier.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/CachedSecureStore.h"
#include "platform/linux/FileSecureStore.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::ManualMainQueue;
using testing::TemporaryFolder;

constexpr auto kService = DeviceConfig::kServiceName;

class DeviceConfigFileStoreTest : public ::testing::Test {
protected:
    FileSecureStore backend() { return FileSecureStore(file, clock, log); }

    // The file as the agent uses it: read on a worker thread, served from memory.
    DeviceConfig openedConfig()
    {
        auto store = std::make_shared<CachedSecureStore>(std::make_shared<FileSecureStore>(file, clock, log),
                                                         mainQueue, log);
        stores.push_back(store);
        DeviceConfig config(store, kService);
        std::optional<std::optional<Error>> outcome;
        config.open([&outcome](std::optional<Error> failure) { outcome = failure; });
        mainQueue->runUntil([&outcome] { return outcome.has_value(); });
        EXPECT_TRUE(outcome.has_value() && !outcome->has_value()) << "the file store did not open";
        return config;
    }

    // Every write of the stores made so far has reached the file (their configurations are gone).
    void settle()
    {
        stores.clear();
        mainQueue->runUntilIdle();
    }

    std::vector<std::filesystem::path> asideFiles(const std::string& reason) const
    {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
            if (entry.path().filename().string().starts_with("credentials." + reason + "-"))
                found.push_back(entry.path());
        return found;
    }

    TemporaryFolder folder;
    std::filesystem::path file = folder.paths().dataHome / "app.brenmoor.tessary" / "credentials";
    std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    std::vector<std::shared_ptr<CachedSecureStore>> stores;
};

TEST_F(DeviceConfigFileStoreTest, ValuesSurviveANewStoreKeepTheirBytesAndThePrivateFile)
{
    for (const std::string& value : std::vector<std::string>{"", "plain-token", "Zoë's Mäc 👩‍👧 日本語", "line\nbreak",
                                                              std::string("\0\xff", 2)}) {
        ASSERT_FALSE(backend().write(kService, "token", value).has_value());
        const auto items = backend().readAll(kService);
        ASSERT_TRUE(items.hasValue());
        EXPECT_EQ(items.value().at("token"), value);
    }
    EXPECT_FALSE(backend().readAll(kService).value().contains("familyId"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U) << "private to the user";
}

TEST_F(DeviceConfigFileStoreTest, SavingTwiceLeavesOneItemWithTheSecondValue)
{
    {
        auto store = openedConfig();
        store.save("first", "token");
        store.save("second", "token");
        EXPECT_EQ(store.load("token"), "second");
    }
    settle();
    const auto content = TemporaryFolder::readFile(file);
    EXPECT_EQ(content.find("Zmlyc3Q="), std::string::npos) << "the old value must be gone";
    EXPECT_EQ(backend().readAll(kService).value(), (CredentialItems{{"token", "second"}}));
}

TEST_F(DeviceConfigFileStoreTest, AccountsAndServicesAreKeptApart)
{
    auto store = backend();
    ASSERT_FALSE(store.write(kService, "token", "t").has_value());
    ASSERT_FALSE(store.write(kService, "familyId", "f").has_value());
    ASSERT_FALSE(store.write("another.service", "token", "x").has_value());
    ASSERT_FALSE(store.erase(kService, "token").has_value());
    EXPECT_EQ(store.readAll(kService).value(), (CredentialItems{{"familyId", "f"}}));
    EXPECT_EQ(store.readAll("another.service").value(), (CredentialItems{{"token", "x"}}));
    EXPECT_FALSE(store.erase(kService, "never-saved").has_value());
}

TEST_F(DeviceConfigFileStoreTest, DeletedIdentifierIsReplacedByANewOne)
{
    std::string second;
    {
        auto store = openedConfig();
        const auto first = DeviceIdentifier::loadOrCreate(store);
        EXPECT_EQ(DeviceIdentifier::loadOrCreate(store), first);
        store.remove("deviceId");
        second = DeviceIdentifier::loadOrCreate(store);
        EXPECT_NE(second, first);
        EXPECT_TRUE(DeviceIdentifier::isWellFormed(second));
    }
    settle();
    EXPECT_EQ(openedConfig().load("deviceId"), second);
}

TEST_F(DeviceConfigFileStoreTest, StoredBytesThatAreNotUtf8LoadAsAbsent)
{
    ASSERT_FALSE(backend().write(kService, "token", "\xff\xfe").has_value());
    EXPECT_EQ(backend().readAll(kService).value().at("token"), "\xff\xfe");
    EXPECT_FALSE(openedConfig().load("token").has_value());
}

// A file that exists but cannot be understood is kept aside, byte for byte, and the store goes on
// with what could be read; nothing with fewer items ever takes its place unseen.
TEST_F(DeviceConfigFileStoreTest, AFileThatCannotBeUnderstoodIsMovedAsideWhole)
{
    const std::string item = R"({"service":"app.brenmoor.tessary.device","account":)";
    const std::string good = item + R"("deviceId","value":"ZGV2aWNlLTE="})";
    struct Row {
        const char* name;
        std::string content;
        CredentialItems kept;
    };
    const Row rows[] = {
        {"not JSON", "\x01garbage{{", {}},
        {"JSON without a list of items", R"({"entries":[]})", {}},
        {"an item without a value", R"({"items":[)" + good + "," + item + R"("token"}]})", {{"deviceId", "device-1"}}},
        {"a value that is not base64", R"({"items":[)" + good + "," + item + R"("token","value":"*"}]})",
         {{"deviceId", "device-1"}}},
    };
    for (const auto& row : rows) {
        std::filesystem::remove_all(file.parent_path());
        TemporaryFolder::writeFile(file, row.content);
        log->clear();

        const auto items = backend().readAll(kService);
        ASSERT_TRUE(items.hasValue()) << row.name;
        EXPECT_EQ(items.value(), row.kept) << row.name;
        const auto aside = asideFiles("unreadable");
        ASSERT_EQ(aside.size(), 1U) << row.name;
        EXPECT_EQ(TemporaryFolder::readFile(aside[0]), row.content) << row.name;
        EXPECT_EQ(backend().readAll(kService).value(), row.kept) << row.name << ": the items understood stay";
        ASSERT_EQ(log->messages().size(), 1U) << row.name;
        EXPECT_TRUE(log->messages()[0].starts_with("Credentials file unreadable")) << log->messages()[0];
    }
}

TEST_F(DeviceConfigFileStoreTest, TheAsideNameCarriesTheTimeAndNeverReplacesAnEarlierOne)
{
    clock->set(std::chrono::system_clock::time_point(std::chrono::seconds(1767225600)));  // 2026-01-01 00:00 UTC
    for (int round = 0; round < 2; ++round) {
        TemporaryFolder::writeFile(file, "round " + std::to_string(round));
        ASSERT_TRUE(backend().readAll(kService).hasValue());
    }
    const auto stem = file.string() + ".unreadable-20260101T000000Z";
    EXPECT_EQ(TemporaryFolder::readFile(stem), "round 0");
    EXPECT_EQ(TemporaryFolder::readFile(stem + "-2"), "round 1");
}

TEST_F(DeviceConfigFileStoreTest, AFileThatCannotBeReadIsMovedAsideUntouched)
{
    // A folder where the file should be: no user, not even root, reads it as a file.
    std::filesystem::create_directories(file / "inside");
    const auto items = backend().readAll(kService);
    ASSERT_TRUE(items.hasValue());
    EXPECT_TRUE(items.value().empty());
    const auto aside = asideFiles("unreadable");
    ASSERT_EQ(aside.size(), 1U);
    EXPECT_TRUE(std::filesystem::is_directory(aside[0] / "inside"));
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(DeviceConfigFileStoreTest, AFileWithoutReadPermissionIsMovedAside)
{
    TemporaryFolder::writeFile(file, R"({"items":[]})");
    std::filesystem::permissions(file, std::filesystem::perms::none);
    if (::geteuid() != 0) {
        ASSERT_TRUE(backend().readAll(kService).hasValue());
    } else {
        // Root reads every file: the read runs in a child that gave root up for an owner of the
        // folder and the file, as a child's account is.
        constexpr uid_t kNobody = 65534;
        for (auto passed = file.parent_path().parent_path(); passed != folder.path().parent_path();
             passed = passed.parent_path())
            std::filesystem::permissions(passed, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
        ASSERT_EQ(::chown(file.parent_path().c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        const pid_t reader = ::fork();
        ASSERT_GE(reader, 0);
        if (reader == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(2);
            ::_exit(backend().readAll(kService).hasValue() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(reader, &status, 0), reader);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(asideFiles("unreadable").size(), 1U);
}

TEST_F(DeviceConfigFileStoreTest, NoWriteReplacesAFileThatWasNotReadCompletely)
{
    const std::string damaged =
        R"({"items":[{"service":"app.brenmoor.tessary.device","account":"token","value":"*"}]})";
    TemporaryFolder::writeFile(file, damaged);
    EXPECT_TRUE(backend().write(kService, "deviceId", "device-2").has_value());
    EXPECT_TRUE(backend().erase(kService, "token").has_value());
    EXPECT_EQ(TemporaryFolder::readFile(file), damaged);
    EXPECT_TRUE(asideFiles("unreadable").empty()) << "only a read sets a file aside";
}

TEST_F(DeviceConfigFileStoreTest, AMissingOrEmptyFileHoldsNothingToKeep)
{
    const auto missing = backend().readAll(kService);
    ASSERT_TRUE(missing.hasValue()) << "no failure";
    EXPECT_TRUE(missing.value().empty());
    EXPECT_FALSE(std::filesystem::exists(file));

    TemporaryFolder::writeFile(file, "");
    ASSERT_TRUE(backend().readAll(kService).value().empty());
    ASSERT_FALSE(backend().write(kService, "token", "t").has_value());
    EXPECT_EQ(backend().readAll(kService).value(), (CredentialItems{{"token", "t"}}));
    EXPECT_TRUE(asideFiles("unreadable").empty());
}

}  // namespace
}  // namespace tessary
