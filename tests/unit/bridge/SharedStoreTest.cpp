#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>

#include "tests/support/MemoryLogSink.h"
#include "shared/SharedDefaults.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::ManualClock;
using testing::TemporaryFolder;

constexpr auto kTimeout = std::chrono::milliseconds(1000);

// Bytes that no SQLite reader takes for a database.
std::string garbage(std::size_t size)
{
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i)
        bytes += static_cast<char>((i * 7919 + 13) % 251);
    return bytes;
}

// A database of some other program, written with SQLite directly.
void writeDatabase(const std::filesystem::path& file, const char* sql)
{
    std::filesystem::create_directories(file.parent_path());
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &connection), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(connection, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(connection);
    sqlite3_close(connection);
}

// Every file in the folder by name, with its size and a digest of its bytes (short in a failure message).
std::map<std::string, std::string> folderContent(const std::filesystem::path& folder)
{
    std::map<std::string, std::string> content;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!entry.is_regular_file())
            continue;
        const auto bytes = TemporaryFolder::readFile(entry.path());
        content[entry.path().filename().string()] =
            std::to_string(bytes.size()) + " bytes, digest " + std::to_string(std::hash<std::string>{}(bytes));
    }
    return content;
}

// Whether every file of before is still there unchanged (SQLite may add its empty WAL and index).
bool keptEveryFile(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after)
{
    return std::all_of(before.begin(), before.end(), [&](const auto& file) {
        const auto found = after.find(file.first);
        return found != after.end() && found->second == file.second;
    });
}

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
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    SharedDefaults agent{storeFile, clock, Logger(log, "app.brenmoor.tessary", "app"),
                         [](const std::string&) {}};
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

    // Text another program wrote is read to its last byte, not to its count of characters.
    writeDatabase(storeFile, "INSERT INTO defaults VALUES('rules', 'caf\xc3\xa9')");
    EXPECT_EQ(reader->dataForKey("rules").value(), "caf\xc3\xa9");
}

TEST_F(SharedStoreTest, AValueReadInPiecesIsTheOneFoundWhateverTheAgentWritesMeanwhile)
{
    auto agentStore = open();
    const std::string first(100'000, 'a');
    ASSERT_FALSE(agentStore->setData("rules", first));
    auto browser = open(SharedStore::Access::readExisting);
    auto reader = browser->readerForKey("rules");
    ASSERT_TRUE(reader && reader.value());
    auto& value = *reader.value();
    ASSERT_EQ(value.size(), first.size());
    std::string read(first.size(), '\0');
    ASSERT_TRUE(value.read(0, read.data(), 50'000));
    ASSERT_FALSE(agentStore->setData("rules", std::string(100'000, 'b')));
    ASSERT_TRUE(value.read(50'000, read.data() + 50'000, 50'000));
    EXPECT_EQ(read, first);
    ASSERT_TRUE(value.read(0, read.data(), 100'000)) << "read again from the start";
    EXPECT_EQ(read, first);
    EXPECT_FALSE(value.read(99'999, read.data(), 2)) << "past the end";
    reader = Error{};
    EXPECT_EQ(browser->dataForKey("rules").value(), std::string(100'000, 'b'));
    EXPECT_TRUE(browser->readerForKey("absent").value() == nullptr);
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
    EXPECT_EQ(browser->appendEvent(R"({"n":4})", SharedStore::QueueLength::notCounted).value(), 0);
    EXPECT_EQ(agent.drainEventQueue(), (std::vector<json>{{{"n", 4}}}));

    // Each event is still queued while it is handed over: an agent killed then loses nothing. Two
    // entries of the same text have receipts of their own.
    ASSERT_TRUE(browser->appendEvent(R"({"n":5})").hasValue());
    ASSERT_TRUE(browser->appendEvent(R"({"n":5})").hasValue());
    std::vector<std::size_t> queuedDuringHandOver;
    std::vector<std::string> receipts;
    agent.drainEventQueue([&](const json&, const std::string& receipt) {
        queuedDuringHandOver.push_back(browser->queuedEvents().value().size());
        receipts.push_back(receipt);
    });
    EXPECT_EQ(queuedDuringHandOver, (std::vector<std::size_t>{2, 1}));
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_NE(receipts[0], receipts[1]);
    EXPECT_TRUE(browser->queuedEvents().value().empty());
}

TEST_F(SharedStoreTest, AgentMovesACorruptStoreAsideOnceKeepsItAndStartsAFreshOne)
{
    const auto bytes = garbage(8192);
    TemporaryFolder::writeFile(storeFile, bytes);

    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_TRUE(agent.drainEventQueue().empty());
    EXPECT_TRUE(agent.setRules("{}"));
    agent.removeRules();
    // The manual clock stands at 2023-11-14 22:13:20 UTC.
    const auto aside = storeFile.string() + ".corrupt-20231114T221320Z";
    EXPECT_EQ(log->messages(),
              std::vector<std::string>{"Shared store was damaged — moved it aside to " + aside + " and rebuilt it"});
    EXPECT_EQ(log->records()[0].level, LogLevel::error);
    EXPECT_EQ(TemporaryFolder::readFile(aside), bytes);
    EXPECT_EQ(SharedStore::examine(storeFile, kTimeout).value(), SharedStore::FileState::usable);
}

TEST_F(SharedStoreTest, AgentFindsDamageOnUseAndRebuildsBeforeTheUseEnds)
{
    ASSERT_TRUE(agent.setRules("1"));
    // Same file, still a database, its queue gone: only using it shows the damage.
    writeDatabase(storeFile, "DROP TABLE event_queue");
    EXPECT_TRUE(agent.drainEventQueue().empty());
    ASSERT_EQ(log->messages().size(), 1U);
    EXPECT_EQ(log->messages()[0].rfind("Shared store was damaged — moved it aside to ", 0), 0U) << log->messages()[0];
    EXPECT_EQ(open(SharedStore::Access::readExisting)->dataForKey("rules").value(), "1");
    auto browser = open(SharedStore::Access::writeExisting);
    ASSERT_TRUE(browser->appendEvent(R"({"n":1})").hasValue());
    EXPECT_EQ(agent.drainEventQueue(), (std::vector<json>{{{"n", 1}}}));
}

// Each row is something put at the store's path; examine tells which of them the agent may keep.
TEST_F(SharedStoreTest, ExamineTellsAUsableStoreFromAMissingOrDamagedOne)
{
    using State = SharedStore::FileState;
    struct Row {
        const char* name;
        std::function<void()> put;
        State expected;
    };
    std::unique_ptr<SharedStore> writer;
    const Row rows[] = {
        {"nothing", [] {}, State::missing},
        {"a store", [&] { open(); }, State::usable},
        {"a store with writes not yet checkpointed",
         [&] {
             writer = open();
             ASSERT_FALSE(writer->setData("rules", "1"));
         },
         State::usable},
        {"garbage", [&] { TemporaryFolder::writeFile(storeFile, garbage(8192)); }, State::damaged},
        {"an empty file", [&] { TemporaryFolder::writeFile(storeFile, ""); }, State::damaged},
        {"another program's database", [&] { writeDatabase(storeFile, "CREATE TABLE other(x)"); }, State::damaged},
        {"a store with a trigger planted in it",
         [&] {
             open();
             writeDatabase(storeFile, "CREATE TRIGGER t BEFORE INSERT ON event_queue BEGIN SELECT RAISE(IGNORE); END");
         },
         State::tampered},
        {"the store's table names with other columns: made again differently",
         [&] { writeDatabase(storeFile, "CREATE TABLE defaults(k, v); CREATE TABLE event_queue(e)"); },
         State::tampered},
        {"a store cut off after its first page",
         [&] {
             {
                 auto store = open();
                 for (int i = 0; i < 50; ++i)
                     ASSERT_TRUE(store->appendEvent(garbage(400)).hasValue());
             }
             ASSERT_GT(std::filesystem::file_size(storeFile), 8192U);
             std::filesystem::resize_file(storeFile, 4096);
         },
         State::damaged},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writer.reset();
        std::filesystem::remove_all(storeFile.parent_path());
        row.put();
        const auto before = std::filesystem::exists(storeFile.parent_path())
                                ? folderContent(storeFile.parent_path())
                                : std::map<std::string, std::string>();
        const auto state = SharedStore::examine(storeFile, kTimeout);
        ASSERT_TRUE(state) << state.error().description;
        EXPECT_EQ(state.value(), row.expected);
        if (row.expected == State::damaged || row.expected == State::tampered) {
            EXPECT_TRUE(keptEveryFile(before, folderContent(storeFile.parent_path()))) << "examined without a change";
        }
    }

    std::filesystem::remove_all(storeFile.parent_path());
    std::filesystem::create_directories(storeFile);
    EXPECT_FALSE(SharedStore::examine(storeFile, kTimeout)) << "a folder in the way is not the agent's to move";
}

TEST_F(SharedStoreTest, BrowsersNeverCreateNorRepairAStore)
{
    struct Row {
        const char* name;
        std::function<void()> put;
    };
    const Row rows[] = {
        {"nothing", [] {}},
        {"garbage", [&] { TemporaryFolder::writeFile(storeFile, garbage(8192)); }},
        // SQLite would delete the WAL beside an empty file on its first read.
        {"an empty file with a WAL beside it",
         [&] {
             TemporaryFolder::writeFile(storeFile, "");
             TemporaryFolder::writeFile(storeFile.string() + "-wal", garbage(4096));
         }},
        {"another program's database", [&] { writeDatabase(storeFile, "CREATE TABLE other(x)"); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(storeFile.parent_path());
        row.put();
        const bool existed = std::filesystem::exists(storeFile.parent_path());
        const auto before = existed ? folderContent(storeFile.parent_path()) : std::map<std::string, std::string>();
        // Another program's database opens; the append's own statement then finds no queue.
        auto writer = SharedStore::open(storeFile, SharedStore::Access::writeExisting, kTimeout);
        EXPECT_TRUE(!writer || !writer.value()->appendEvent(R"({"n":1})")) << "no event appended to it";
        writer = Error{};
        auto reader = SharedStore::open(storeFile, SharedStore::Access::readExisting, kTimeout);
        EXPECT_TRUE(!reader || !reader.value()->dataForKey("rules")) << "no rules read from it";
        reader = Error{};
        EXPECT_EQ(std::filesystem::exists(storeFile.parent_path()), existed);
        if (existed) {
            EXPECT_EQ(folderContent(storeFile.parent_path()), before);
        }
    }
}

TEST_F(SharedStoreTest, AConnectionNoticesWhenItsFileLeavesThePathOrIsDamagedInPlace)
{
    using Check = SharedStore::PathCheck;
    struct Row {
        const char* name;
        std::function<void()> damage;
        Check expected;
    };
    const Row rows[] = {
        {"untouched", [] {}, Check::holdsFile},
        {"deleted", [&] { std::filesystem::remove(storeFile); }, Check::moved},
        {"replaced by another store",
         [&] {
             const auto other = folder.path() / "other.sqlite3";
             ASSERT_TRUE(SharedStore::open(other, SharedStore::Access::readWrite, kTimeout));
             std::filesystem::rename(other, storeFile);
         },
         Check::moved},
        {"truncated to 0 bytes", [&] { std::filesystem::resize_file(storeFile, 0); }, Check::damagedInPlace},
        {"overwritten with garbage", [&] { TemporaryFolder::writeFile(storeFile, garbage(8192)); },
         Check::damagedInPlace},
        {"cut off after its first page", [&] { std::filesystem::resize_file(storeFile, 4096); },
         Check::damagedInPlace},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(storeFile.parent_path());
        auto store = open();
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(store->appendEvent(garbage(400)).hasValue());
        // Checkpointed, as the agent's last close leaves it: the header then counts every page.
        writeDatabase(storeFile, "PRAGMA wal_checkpoint(TRUNCATE)");
        ASSERT_EQ(store->checkPath(), Check::holdsFile);
        row.damage();
        EXPECT_EQ(store->checkPath(), row.expected);
        store->leaveFileAsIs();
    }
}

TEST_F(SharedStoreTest, MoveAsideKeepsTheFileWithItsJournalsAndNeverOverwritesAnEarlierCopy)
{
    for (const char* content : {"first", "second"}) {
        TemporaryFolder::writeFile(storeFile, content);
        TemporaryFolder::writeFile(storeFile.string() + "-wal", std::string(content) + " wal");
        const auto moved = SharedStore::moveAside(storeFile, "20240101T000000Z");
        ASSERT_TRUE(moved) << moved.error().description;
        EXPECT_FALSE(std::filesystem::exists(storeFile));
        EXPECT_FALSE(std::filesystem::exists(storeFile.string() + "-wal"));
        EXPECT_EQ(TemporaryFolder::readFile(moved.value()), content);
        EXPECT_EQ(TemporaryFolder::readFile(moved.value().string() + "-wal"), std::string(content) + " wal");
    }
    EXPECT_EQ(TemporaryFolder::readFile(storeFile.string() + ".corrupt-20240101T000000Z"), "first");
    EXPECT_EQ(TemporaryFolder::readFile(storeFile.string() + ".corrupt-20240101T000000Z-2"), "second");
    EXPECT_FALSE(SharedStore::moveAside(storeFile, "20240101T000000Z")) << "nothing to move";
}

}  // namespace
}  // namespace tessary
