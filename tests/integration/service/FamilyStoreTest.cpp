#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "server/storage/SqliteFamilyStore.h"
#include "server/storage/StateFileImport.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using server::SqliteFamilyStore;
using server::StoredDevice;

std::unique_ptr<SqliteFamilyStore> openStore(const std::filesystem::path& file)
{
    auto store = SqliteFamilyStore::open(file);
    if (!store)
        ADD_FAILURE() << store.error().description;
    return store ? std::move(store).value() : nullptr;
}

// Runs one statement on the file directly, as another program (or an older server) would.
std::string sqlOn(const std::filesystem::path& file, const std::string& sql)
{
    sqlite3* connection = nullptr;
    std::string result;
    if (sqlite3_open(file.c_str(), &connection) == SQLITE_OK)
        sqlite3_exec(
            connection, sql.c_str(),
            [](void* out, int columns, char** values, char**) {
                for (int i = 0; i < columns; ++i)
                    *static_cast<std::string*>(out) += std::string(values[i] ? values[i] : "NULL") + "|";
                return 0;
            },
            &result, nullptr);
    sqlite3_close(connection);
    return result;
}

TEST(FamilyStoreTest, EverythingKeptIsThereAfterReopeningAndTheFileIsTheOwnersAlone)
{
    testing::TemporaryFolder folder;
    const auto file = folder.path() / "service.sqlite3";
    {
        auto store = openStore(file);
        ASSERT_TRUE(store);
        EXPECT_FALSE(store->putDevice({"device-a", "token-a", "family-1", false, {{"deviceName", "Kid's laptop"}},
                                       {{"mode", "allow"}, {"blockedSites", {"games.example"}}}}));
        EXPECT_FALSE(store->putDevice({"device-b", "", "family-1", true, {}, {}}));
        EXPECT_FALSE(store->putRelease({"1.2.0", "7"}));
        EXPECT_FALSE(store->putNextFamily(3));
        EXPECT_FALSE(store->recordHeartbeat("device-a", {999, "1.1.0", std::string("disk full")}));
        EXPECT_FALSE(store->recordHeartbeat("device-a", {1000, "1.2.0"})) << "keeps the error reported before";
        EXPECT_FALSE(store->putApplication("device-a", "org.gnome.Mines", "Mines"));
        EXPECT_FALSE(store->putAccessRequest("device-a", {"games.example", "Games", 900, 950}));
        EXPECT_FALSE(store->putAccessRequest("device-a", {"games.example", "Games!", 990, 950})) << "asked again";
        // A device put again is replaced, not added.
        EXPECT_FALSE(store->putDevice({"device-a", "token-a2", "family-1", false, {{"deviceName", "Kid's laptop"}},
                                       {{"mode", "deny"}}}));
    }
    auto store = openStore(file);
    ASSERT_TRUE(store);
    const auto contents = store->load();
    ASSERT_TRUE(contents) << contents.error().description;
    ASSERT_EQ(contents.value().devices.size(), 2U);
    const auto& a = contents.value().devices[0];
    EXPECT_EQ(a.id, "device-a");
    EXPECT_EQ(a.token, "token-a2");
    EXPECT_EQ(a.familyId, "family-1");
    EXPECT_EQ(a.pairing["deviceName"], "Kid's laptop");
    EXPECT_EQ(a.rules, nlohmann::json({{"mode", "deny"}}));
    EXPECT_TRUE(contents.value().devices[1].deleted);
    ASSERT_TRUE(contents.value().release);
    EXPECT_EQ(contents.value().release->build, "7");
    EXPECT_EQ(contents.value().nextFamily, 3U);
    ASSERT_TRUE(a.lastHeartbeat);
    EXPECT_EQ(a.lastHeartbeat->at, 1000);
    EXPECT_EQ(a.lastHeartbeat->version, "1.2.0");
    EXPECT_EQ(a.lastHeartbeat->appError, "disk full");
    EXPECT_EQ(a.applications, (std::map<std::string, std::string>{{"org.gnome.Mines", "Mines"}}));
    ASSERT_EQ(a.accessRequests.size(), 1U);
    EXPECT_EQ(a.accessRequests[0].title, "Games!");
    EXPECT_TRUE(a.accessRequests[0].pending());

    for (const char* name : {"service.sqlite3", "service.sqlite3-wal"}) {
        struct stat status {};
        ASSERT_EQ(::stat((folder.path() / name).c_str(), &status), 0) << name;
        EXPECT_EQ(status.st_mode & 0777, 0600U) << name << " holds device tokens";
    }
}

TEST(FamilyStoreTest, AnOlderSchemaIsBroughtForwardAndANewerOneIsRefusedUntouched)
{
    testing::TemporaryFolder folder;
    const auto older = folder.path() / "older.sqlite3";
    sqlOn(older, "CREATE TABLE unrelated (x); PRAGMA user_version = 0");
    ASSERT_TRUE(openStore(older));
    EXPECT_EQ(sqlOn(older, "PRAGMA user_version"), std::to_string(SqliteFamilyStore::kSchemaVersion) + "|");

    // Schema 2 kept the applications and requests only inside the reports: they are gathered from them.
    const auto second = folder.path() / "second.sqlite3";
    {
        auto store = openStore(second);
        ASSERT_TRUE(store);
        ASSERT_FALSE(store->putDevice({"device-a", "t", "family-1", false, {}, {}}));
        for (const auto& [type, frame] : std::vector<std::pair<std::string, std::string>>{
                 {"activity", R"({"type":"activity","payload":{"events":[{"bundleId":"org.gnome.Mines","appName":"Mines"},
                                 {"url":"https://a.example/"},{"bundleId":7}]}})"},
                 {"blocked_app_launch", R"({"type":"blocked_app_launch","payload":{"bundleId":"org.example.Game"}})"},
                 {"access_request", R"({"type":"access_request","payload":{"url":"games.example","title":"Games"}})"},
                 {"access_request", R"({"type":"access_request","payload":{"title":"no address"}})"},
                 // What a broken or tampered agent may have sent must not stop the server's upgrade.
                 {"activity", R"({"type":"activity","payload":{"events":["x"]}})"},
                 {"activity", R"({"type":"activity","payload":{"events":"abc"}})"},
                 {"activity", R"({"type":"activity","payload":{"events":[)" + std::string(2100, '[') + std::string(2100, ']') + "]}}"},
                 {"blocked_app_launch", "not JSON"},
                 {"access_request", R"({"type":"access_request","payload":"games.example"})"}})
            ASSERT_FALSE(store->recordActivity("device-a", type, 500, frame));
    }
    sqlOn(second, "DROP TABLE applications; DROP TABLE access_requests; ALTER TABLE devices DROP COLUMN last_version; "
                  "PRAGMA user_version = 2");
    auto migrated = openStore(second);
    ASSERT_TRUE(migrated);
    const auto contents = migrated->load();
    ASSERT_TRUE(contents) << contents.error().description;
    ASSERT_EQ(contents.value().devices.size(), 1U);
    EXPECT_EQ(contents.value().devices[0].applications,
              (std::map<std::string, std::string>{{"org.example.Game", "org.example.Game"}, {"org.gnome.Mines", "Mines"}}));
    ASSERT_EQ(contents.value().devices[0].accessRequests.size(), 1U);
    EXPECT_EQ(contents.value().devices[0].accessRequests[0].url, "games.example");
    EXPECT_EQ(contents.value().devices[0].accessRequests[0].requestedAt, 500);
    EXPECT_FALSE(contents.value().devices[0].accessRequests[0].pending()) << "answered or not, no one knows: not waiting";

    const auto newer = folder.path() / "newer.sqlite3";
    sqlOn(newer, "CREATE TABLE devices (id TEXT, future TEXT); INSERT INTO devices VALUES ('d', 'f'); "
                 "PRAGMA user_version = 99");
    const auto refused = SqliteFamilyStore::open(newer);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().description.find("newer server"), std::string::npos) << refused.error().description;
    EXPECT_EQ(sqlOn(newer, "SELECT id, future FROM devices"), "d|f|");
    EXPECT_EQ(sqlOn(newer, "PRAGMA user_version"), "99|");
}

// A device paired again by another family (after the first removed it) takes nothing along.
TEST(FamilyStoreTest, ADeviceThatMovesToAnotherFamilyLeavesItsHistoryBehind)
{
    auto store = openStore(":memory:");
    ASSERT_TRUE(store);
    ASSERT_FALSE(store->putDevice({"device-a", "t", "family-1", false, {}, {}}));
    ASSERT_FALSE(store->recordActivity("device-a", "activity", 100, R"({"type":"activity"})"));
    ASSERT_FALSE(store->putApplication("device-a", "org.gnome.Mines", "Mines"));
    ASSERT_FALSE(store->putAccessRequest("device-a", {"games.example", "Games", 100}));
    ASSERT_FALSE(store->recordHeartbeat("device-a", {100, "1.0.0", std::string("disk full")}));
    ASSERT_FALSE(store->putDevice({"device-a", "t2", "family-1", false, {}, {}})) << "paired again in its family";
    auto kept = store->load();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept.value().devices.at(0).applications.size(), 1U);
    EXPECT_EQ(store->reports("device-a", 0, 1000, 10).value().size(), 1U);

    ASSERT_FALSE(store->putDevice({"device-a", "t3", "family-2", false, {}, {}}));
    const auto moved = store->load();
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved.value().devices.at(0).applications.empty());
    EXPECT_TRUE(moved.value().devices.at(0).accessRequests.empty());
    EXPECT_FALSE(moved.value().devices.at(0).lastHeartbeat);
    EXPECT_TRUE(store->reports("device-a", 0, 1000, 10).value().empty());
}

TEST(FamilyStoreTest, ReportsPastTheRetentionAreRemovedAndOnlyThose)
{
    auto store = openStore(":memory:");
    ASSERT_TRUE(store);
    ASSERT_FALSE(store->putDevice({"device-a", "t", "family-1", false, {}, {}}));
    for (const std::int64_t at : {100, 200, 300})
        ASSERT_FALSE(store->recordActivity("device-a", "activity", at, R"({"type":"activity"})"));
    EXPECT_TRUE(store->recordActivity("device-unknown", "activity", 300, "{}")) << "a report names a device";
    const auto pruned = store->pruneActivity(250);
    ASSERT_TRUE(pruned);
    EXPECT_EQ(pruned.value(), 2U);
    const auto again = store->pruneActivity(250);
    ASSERT_TRUE(again);
    EXPECT_EQ(again.value(), 0U);
}

// A server killed at any moment keeps every change it acknowledged, and the file stays whole.
TEST(FamilyStoreTest, AKillDuringWritesLosesNothingThatWasAcknowledged)
{
    testing::TemporaryFolder folder;
    const auto file = folder.path() / "service.sqlite3";
    int acknowledgements[2];
    ASSERT_EQ(::pipe(acknowledgements), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        ::close(acknowledgements[0]);
        auto store = SqliteFamilyStore::open(file);
        for (int n = 0; store; ++n) {
            const auto id = "device-" + std::to_string(n);
            if (store.value()->putDevice({id, "token", "family-1", false, {}, {{"mode", "allow"}}}) ||
                store.value()->recordActivity(id, "activity", n, std::string(200, 'x')))
                break;
            const auto line = std::to_string(n) + "\n";
            if (::write(acknowledgements[1], line.data(), line.size()) < 0)
                break;
        }
        ::_exit(1);
    }
    ::close(acknowledgements[1]);
    FILE* acknowledged = ::fdopen(acknowledgements[0], "r");
    int last = -1;
    int n = 0;
    while (last < 300 && std::fscanf(acknowledged, "%d", &n) == 1)
        last = n;
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    std::fclose(acknowledged);
    ASSERT_GE(last, 300) << "the writer stopped early";

    auto store = openStore(file);
    ASSERT_TRUE(store);
    EXPECT_EQ(sqlOn(file, "PRAGMA integrity_check"), "ok|");
    const auto contents = store->load();
    ASSERT_TRUE(contents);
    EXPECT_GE(contents.value().devices.size(), static_cast<std::size_t>(last + 1));
    EXPECT_EQ(sqlOn(file, "SELECT count(*) FROM devices WHERE id = 'device-" + std::to_string(last) + "'"), "1|");
}

TEST(FamilyStoreTest, TheStandInsStateFileIsImportedOnceAndAnUnreadableOneIsLeftInPlace)
{
    testing::TemporaryFolder folder;
    const auto stateFile = folder.path() / "state.json";
    testing::TemporaryFolder::writeFile(stateFile, R"({
        "release": {"version": "1.1.0", "build": "2"}, "nextFamily": 4,
        "devices": {
            "device-a": {"token": "t-a", "familyId": "family-1", "deleted": false,
                         "pairing": {"deviceName": "Laptop"}, "rules": {"mode": "deny"}},
            "device-b": {"token": "", "familyId": "family-2", "deleted": true},
            "device-c": "not an object",
            "device-d": {"familyId": 7}
        }})");
    auto store = openStore(":memory:");
    ASSERT_TRUE(store);
    const auto outcome = server::StateFileImport::run(stateFile, *store);
    EXPECT_EQ(outcome.devices, 2U);
    EXPECT_FALSE(outcome.problem) << *outcome.problem;
    EXPECT_FALSE(std::filesystem::exists(stateFile));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "state.json.imported"));
    const auto contents = store->load();
    ASSERT_TRUE(contents);
    ASSERT_EQ(contents.value().devices.size(), 2U);
    EXPECT_EQ(contents.value().devices[0].rules, nlohmann::json({{"mode", "deny"}}));
    EXPECT_TRUE(contents.value().devices[1].deleted);
    EXPECT_EQ(contents.value().nextFamily, 4U);
    EXPECT_EQ(contents.value().release->version, "1.1.0");

    const auto second = server::StateFileImport::run(stateFile, *store);
    EXPECT_EQ(second.devices, 0U);
    EXPECT_FALSE(second.problem);

    testing::TemporaryFolder::writeFile(stateFile, "{ cut sho");
    const auto unreadable = server::StateFileImport::run(stateFile, *store);
    EXPECT_TRUE(unreadable.problem);
    EXPECT_TRUE(std::filesystem::exists(stateFile));
}

}  // namespace
}  // namespace tessary
