#include <gtest/gtest.h>

#include <functional>
#include <sqlite3.h>
#include <sys/stat.h>

#include "tests/unit/core/MonitoringFixture.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::MonitoringFixture;
using testing::TemporaryFolder;

constexpr auto kPollInterval = std::chrono::seconds(2);
constexpr auto kTimeout = std::chrono::milliseconds(1000);

// While monitoring, whatever happens to the store's file, the next poll leaves a healthy store
// with the agent's rules at the path, keeps a damaged file beside it, and drains what browsers
// write into the new store.
class SharedStoreHealingTest : public MonitoringFixture {
protected:
    void SetUp() override
    {
        pair();
        delegate = launch();
        delegate->webSocketDidReceiveRules(RulesPayload{"deny", {"games.example"}, {"org.gnome.Mines"}, {}, {}, {}});
        delegate->webSocketDidGrantAccess("https://www.games.example/play", 1'900'000'000);
        published = publishedRules().value_or(json());
        ASSERT_EQ(published["grants"], json::parse(R"([{"url":"games.example","expiry":1900000000}])"));
    }

    // The store as a browser component opens it: an existing one only.
    std::unique_ptr<SharedStore> existingStore(SharedStore::Access access)
    {
        auto opened = SharedStore::open(storeFile, access, kTimeout);
        return opened ? std::move(opened).value() : nullptr;
    }

    std::optional<json> rulesInStore()
    {
        auto store = existingStore(SharedStore::Access::readExisting);
        if (!store)
            return std::nullopt;
        auto rules = store->dataForKey(SharedStoreFormat::kRulesKey);
        if (!rules || !rules.value())
            return std::nullopt;
        return json::parse(*rules.value());
    }

    // Files moved aside, by name (their WAL and shared-memory files left out).
    std::map<std::string, std::filesystem::path> movedAside() const
    {
        std::map<std::string, std::filesystem::path> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(storeFile.parent_path(), error)) {
            const auto name = entry.path().filename().string();
            if (name.starts_with("store.sqlite3.corrupt-") && !name.ends_with("-wal") && !name.ends_with("-shm"))
                found[name] = entry.path();
        }
        return found;
    }

    std::vector<std::string> rebuildLines() const
    {
        std::vector<std::string> lines;
        for (const auto& message : fake.log->messages())
            if (message.starts_with("Shared store was"))
                lines.push_back(message);
        return lines;
    }

    void putInPlace(const std::string& bytes)
    {
        const auto other = storeFile.parent_path() / "incoming";
        TemporaryFolder::writeFile(other, bytes);
        std::filesystem::rename(other, storeFile);
    }

    std::shared_ptr<AppDelegate> delegate;
    std::filesystem::path storeFile = SharedStoreFormat::storePath(fake.paths);
    json published;
};

TEST_F(SharedStoreHealingTest, TheNextPollRebuildsTheStoreRepublishesTheRulesAndDrainsNewEvents)
{
    std::string foreignDatabase;
    {
        const auto file = fake.paths.home / "other.sqlite3";
        sqlite3* connection = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &connection), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(connection, "CREATE TABLE notes(text); INSERT INTO notes VALUES('kept')", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(connection);
        foreignDatabase = TemporaryFolder::readFile(file);
    }
    std::string otherStore;
    {
        const auto file = fake.paths.home / "store-copy.sqlite3";
        auto copy = SharedStore::open(file, SharedStore::Access::readWrite, kTimeout);
        ASSERT_TRUE(copy);
        ASSERT_FALSE(copy.value()->setData(SharedStoreFormat::kRulesKey, R"({"mode":"allow"})"));
        copy = Error{};
        otherStore = TemporaryFolder::readFile(file);
    }
    const std::string missing = "Shared store was missing — rebuilt it";
    const std::string replaced = "Shared store was replaced — published the rules into it again";
    struct Row {
        const char* name;
        std::function<void()> damage;
        // The bytes of the file moved aside; absent when there was nothing to keep.
        std::optional<std::string> kept;
        // The line when nothing was moved aside.
        std::string line;
    };
    const Row rows[] = {
        {"deleted, its WAL left behind", [&] { std::filesystem::remove(storeFile); }, std::nullopt, missing},
        {"deleted with its folder", [&] { std::filesystem::remove_all(storeFile.parent_path()); }, std::nullopt,
         missing},
        {"replaced by another program's database", [&] { putInPlace(foreignDatabase); }, foreignDatabase, ""},
        {"replaced by another store holding other rules", [&] { putInPlace(otherStore); }, std::nullopt, replaced},
        {"truncated to 0 bytes", [&] { std::filesystem::resize_file(storeFile, 0); }, std::string(), ""},
        {"overwritten with garbage", [&] { TemporaryFolder::writeFile(storeFile, std::string(20000, 'g')); },
         std::string(20000, 'g'), ""},
        {"replaced by garbage", [&] { putInPlace(std::string(3000, 'g')); }, std::string(3000, 'g'), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto linesBefore = rebuildLines().size();
        const auto asideBefore = movedAside();
        const auto sentBefore = sent().size();

        row.damage();
        fake.mainQueue->advance(kPollInterval);

        EXPECT_EQ(SharedStore::examine(storeFile, kTimeout).value(), SharedStore::FileState::usable);
        EXPECT_EQ(rulesInStore(), published);
        struct stat folder {};
        ASSERT_EQ(::stat(storeFile.parent_path().c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 0777U, 0700U);

        auto aside = movedAside();
        const auto lines = rebuildLines();
        ASSERT_EQ(lines.size(), linesBefore + 1) << "one line per rebuild";
        if (row.kept) {
            for (const auto& [name, path] : asideBefore)
                aside.erase(name);
            ASSERT_EQ(aside.size(), 1U) << lines.back();
            const auto& path = aside.begin()->second;
            EXPECT_EQ(TemporaryFolder::readFile(path), *row.kept) << "moved aside, never deleted";
            EXPECT_EQ(lines.back(), "Shared store was damaged — moved it aside to " + path.string() + " and rebuilt it");
        } else {
            EXPECT_EQ(aside.size(), asideBefore.size());
            EXPECT_EQ(lines.back(), row.line);
        }

        auto browser = existingStore(SharedStore::Access::writeExisting);
        ASSERT_TRUE(browser);
        const auto url = std::string("https://after.example/") + row.name;
        ASSERT_TRUE(browser->appendEvent(json{{"type", "url_visit"}, {"url", url}, {"ts", 1}}.dump()).hasValue());
        fake.mainQueue->advance(kPollInterval);
        const auto all = sent();
        ASSERT_EQ(all.size(), sentBefore + 1);
        EXPECT_EQ(all.back()["payload"]["events"][0]["url"], url);
        EXPECT_EQ(rebuildLines().size(), linesBefore + 1) << "nothing more once healthy";
    }
}

TEST_F(SharedStoreHealingTest, TricksFromAnotherProcessAreUndoneWithinAPollAndReachTheParent)
{
    const std::string changed = "the rules in the shared store were changed by another process";
    const std::string planted = "the shared store holds schema objects the agent did not create (";
    const std::string allowAll = rulesJson("allow", {}, {});
    struct Row {
        const char* name;
        std::string sql;
        std::string finding;
    };
    const Row rows[] = {
        {"a trigger on the event queue that swallows every visit",
         "CREATE TRIGGER swallow BEFORE INSERT ON event_queue BEGIN SELECT RAISE(IGNORE); END",
         planted + "trigger swallow on event_queue)"},
        {"the rules edited in place", "UPDATE defaults SET value = '" + allowAll + "' WHERE key = 'rules'", changed},
        {"the rules deleted", "DELETE FROM defaults", changed},
        {"the rules edited and frozen by a trigger",
         "UPDATE defaults SET value = '" + allowAll +
             "'; CREATE TRIGGER freeze BEFORE UPDATE ON defaults BEGIN SELECT RAISE(IGNORE); END",
         planted + "trigger freeze on defaults)"},
        {"the rules table made again without its key, with the child's rules",
         "ALTER TABLE defaults RENAME TO old; CREATE TABLE defaults(key TEXT, value BLOB NOT NULL); "
         "INSERT INTO defaults VALUES('rules', '" + allowAll + "'); DROP TABLE old",
         planted + "table defaults (altered), no index sqlite_autoindex_defaults_1)"},
        {"the event queue made again with a check that refuses every visit",
         "DROP TABLE event_queue; CREATE TABLE event_queue(seq INTEGER PRIMARY KEY AUTOINCREMENT, "
         "event TEXT NOT NULL CHECK(0))",
         planted + "table event_queue (altered))"},
        {"a view in place of the rules table",
         "ALTER TABLE defaults RENAME TO kept; CREATE VIEW defaults AS SELECT 'rules' AS key, '" + allowAll +
             "' AS value",
         planted + "table kept, index sqlite_autoindex_kept_1 on kept, view defaults, no table defaults, no index "
                   "sqlite_autoindex_defaults_1)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto foundBefore = fake.log->count("Tampering detected: " + row.finding);
        {
            sqlite3* child = nullptr;
            ASSERT_EQ(sqlite3_open(storeFile.c_str(), &child), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(child, row.sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
                << sqlite3_errmsg(child);
            sqlite3_close(child);
        }
        fake.mainQueue->advance(kPollInterval);

        EXPECT_EQ(SharedStore::examine(storeFile, kTimeout).value(), SharedStore::FileState::usable);
        EXPECT_EQ(rulesInStore(), published);
        EXPECT_EQ(fake.log->count("Tampering detected: " + row.finding), foundBefore + 1);

        delegate->sendHeartbeat();
        EXPECT_EQ(heartbeatError(), ("Tampering detected: " + row.finding).substr(0, APIClient::kErrorHeaderCharacters));
        while (answer(kHeartbeat, 200, R"({"ok":true,"updateAvailable":false})")) {
        }
        delegate->sendHeartbeat();
        EXPECT_EQ(heartbeatError(), std::nullopt) << "sent once";
        while (answer(kHeartbeat, 200, R"({"ok":true,"updateAvailable":false})")) {
        }

        const auto sentBefore = sent().size();
        auto browser = existingStore(SharedStore::Access::writeExisting);
        ASSERT_TRUE(browser);
        ASSERT_TRUE(browser->appendEvent(json{{"type", "url_visit"}, {"url", row.name}, {"ts", 1}}.dump()).hasValue());
        fake.mainQueue->advance(kPollInterval);
        ASSERT_EQ(sent().size(), sentBefore + 1);
        EXPECT_EQ(sent().back()["payload"]["events"][0]["url"], row.name);
    }
}

TEST_F(SharedStoreHealingTest, AFindingOutlivesFailedHeartbeats)
{
    std::filesystem::remove(storeFile);
    fake.mainQueue->advance(kPollInterval);
    const auto expected = std::optional<std::string>("Tampering detected: the shared store was deleted");
    for (int attempt = 0; attempt < 2; ++attempt) {
        delegate->sendHeartbeat();
        EXPECT_EQ(heartbeatError(), expected);
        while (answer(kHeartbeat, 500)) {
        }
    }
    delegate->sendHeartbeat();
    EXPECT_EQ(heartbeatError(), expected) << "an ordinary failure does not hide it";
}

TEST_F(SharedStoreHealingTest, RulesChangedWhileTheStoreWasGoneAreTheOnesPublished)
{
    std::filesystem::remove_all(storeFile.parent_path());
    // The folder comes back as a file: nothing can be created until it is gone.
    TemporaryFolder::writeFile(storeFile.parent_path(), "in the way");
    delegate->webSocketDidReceiveRules(RulesPayload{"allow", {"video.example"}, {}, {}, {}, {}});
    fake.mainQueue->advance(kPollInterval);
    fake.mainQueue->advance(kPollInterval);
    EXPECT_EQ(rulesInStore(), std::nullopt);

    std::filesystem::remove(storeFile.parent_path());
    fake.mainQueue->advance(kPollInterval);
    const auto rules = rulesInStore();
    ASSERT_TRUE(rules);
    EXPECT_EQ(rules->at("blockedSites"), json::array({"video.example"}));
    EXPECT_EQ(rebuildLines(), std::vector<std::string>{"Shared store was missing — rebuilt it"});
}

TEST_F(SharedStoreHealingTest, ARunThatEndedRemovedItsRulesAndTheNextRunPublishesTheKeptOnesIntoANewStore)
{
    delegate->stopMonitoring();
    EXPECT_EQ(rulesInStore(), std::nullopt);
    std::filesystem::remove(storeFile);
    // Outside monitoring nothing polls; the next run creates the store on its first use.
    fake.mainQueue->advance(kPollInterval);
    EXPECT_FALSE(std::filesystem::exists(storeFile));
    delegate->startMonitoring();
    fake.mainQueue->advance(kPollInterval);
    EXPECT_EQ(SharedStore::examine(storeFile, kTimeout).value(), SharedStore::FileState::usable);
    EXPECT_EQ(rulesInStore(), published);
}

}  // namespace
}  // namespace tessary
