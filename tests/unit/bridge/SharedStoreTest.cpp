#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/MemoryLogSink.h"
#include "shared/SharedDefaults.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::TemporaryFolder;

constexpr auto kTimeout = std::chrono::milliseconds(1000);

class SharedStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<SharedStore> open(SharedStore::Access access = SharedStore::Access::readWrite)
    {
        auto store = SharedStore::open(storeFile, access, kTimeout);
        EXPECT_TRUE(store.hasValue()) << (store ? "" : store.error().description);
        return store ? std::move(store).value() : nullptr;
    }

    TemporaryFolder folder;
    Paths paths = folder.paths();
    std::filesystem::path storeFile = SharedStoreFormat::storePath(paths);
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    SharedDefaults agent{storeFile, Logger(log, "app.brenmoor.tessary", "app")};
};

TEST_F(SharedStoreTest, LivesInTheGroupFolderOfTheDataHome)
{
    EXPECT_EQ(storeFile, paths.dataHome / "group.app.brenmoor.shared" / "store.sqlite3");
    EXPECT_EQ(SharedStoreFormat::notificationSocketPath(paths), paths.runtimeDir / "app.brenmoor.tessary.safari-event");
    auto withoutRuntime = paths;
    withoutRuntime.runtimeDir = folder.path() / "absent";
    EXPECT_EQ(SharedStoreFormat::notificationSocketPath(withoutRuntime),
              storeFile.parent_path() / "app.brenmoor.tessary.safari-event");
}

TEST_F(SharedStoreTest, WriterCreatesAPrivateFolderAndAWalDatabaseWithTheTwoTables)
{
    auto store = open();
    struct stat folderStatus {};
    ASSERT_EQ(::stat(storeFile.parent_path().c_str(), &folderStatus), 0);
    EXPECT_EQ(folderStatus.st_mode & 0777U, 0700U);
    ASSERT_FALSE(store->setData("rules", "{}"));
    EXPECT_TRUE(std::filesystem::exists(storeFile.string() + "-wal"));
    ASSERT_TRUE(store->appendEvent(R"({"type":"url_visit"})").hasValue());
}

TEST_F(SharedStoreTest, ReaderOfAMissingStoreFailsAndCreatesNothing)
{
    EXPECT_FALSE(SharedStore::open(storeFile, SharedStore::Access::readExisting, kTimeout).hasValue());
    EXPECT_FALSE(std::filesystem::exists(storeFile.parent_path()));
}

TEST_F(SharedStoreTest, DataIsStoredAsBytesReplacedAndRemoved)
{
    auto store = open();
    const std::string bytes("a\0b\xff", 4);
    ASSERT_FALSE(store->setData("rules", bytes));
    ASSERT_FALSE(store->setData("rules", bytes + "c"));
    auto reader = open(SharedStore::Access::readExisting);
    EXPECT_EQ(reader->dataForKey("rules").value(), bytes + "c");
    ASSERT_FALSE(store->removeKey("rules"));
    EXPECT_EQ(reader->dataForKey("rules").value(), std::nullopt);
    EXPECT_FALSE(store->removeKey("rules"));
}

TEST_F(SharedStoreTest, AppendReportsQueueLengthAndDrainTakesAllOldestFirstOnce)
{
    auto browser = open();
    EXPECT_EQ(browser->appendEvent(R"({"n":1})").value(), 1);
    EXPECT_EQ(browser->appendEvent(R"({"n":2})").value(), 2);
    EXPECT_EQ(agent.drainEventQueue(), (std::vector<json>{{{"n", 1}}, {{"n", 2}}}));
    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_EQ(browser->appendEvent(R"({"n":3})").value(), 1);
    EXPECT_EQ(agent.drainEventQueue(), (std::vector<json>{{{"n", 3}}}));
}

TEST_F(SharedStoreTest, DrainDropsEntriesThatAreNotObjectsAndKeepsTheRest)
{
    auto browser = open();
    for (const char* entry : {R"({"n":1})", "[1]", "not json", R"("text")", R"({"n":2})"})
        ASSERT_TRUE(browser->appendEvent(entry).hasValue());
    EXPECT_EQ(agent.drainEventQueue(), (std::vector<json>{{{"n", 1}}, {{"n", 2}}}));
    EXPECT_TRUE(agent.drainEventQueue().empty());
}

TEST_F(SharedStoreTest, AgentSurvivesACorruptStoreLogsOnceAndNeverTouchesIt)
{
    std::string garbage;
    for (int i = 0; i < 8192; ++i)
        garbage += static_cast<char>((i * 7919 + 13) % 251);
    TemporaryFolder::writeFile(storeFile, garbage);

    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_FALSE(agent.setRules("{}"));
    agent.removeRules();
    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].rfind("Failed to open the shared store: The shared store " + storeFile.string(), 0), 0U)
        << messages[0];
    EXPECT_EQ(log->records()[0].level, LogLevel::error);
    EXPECT_EQ(TemporaryFolder::readFile(storeFile), garbage);
}

TEST_F(SharedStoreTest, AgentRecoversWhenTheStoreBecomesUsable)
{
    std::filesystem::create_directories(storeFile);  // a folder in the way
    EXPECT_FALSE(agent.setRules("{}"));
    std::filesystem::remove(storeFile);
    EXPECT_TRUE(agent.setRules("{}"));
    auto browser = open();
    ASSERT_TRUE(browser->appendEvent(R"({"n":1})").hasValue());
    EXPECT_EQ(agent.drainEventQueue().size(), 1U);
    EXPECT_EQ(log->messages().size(), 1U);
}

TEST_F(SharedStoreTest, AgentKeepsOneConnectionThatSeesOtherWriters)
{
    ASSERT_TRUE(agent.setRules("1"));
    auto browser = open();
    ASSERT_TRUE(browser->appendEvent(R"({"n":1})").hasValue());
    EXPECT_EQ(agent.drainEventQueue().size(), 1U);
    ASSERT_TRUE(browser->appendEvent(R"({"n":2})").hasValue());
    EXPECT_EQ(agent.drainEventQueue().size(), 1U);
    EXPECT_EQ(open(SharedStore::Access::readExisting)->dataForKey("rules").value(), "1");
}

}  // namespace
}  // namespace tessary
