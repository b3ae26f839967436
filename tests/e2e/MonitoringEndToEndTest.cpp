#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "shared/SharedStore.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HeadlessFirefox.h"
#include "tests/support/PairedAgentHarness.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VirtualDisplay.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using testing::PairedAgentHarness;
using testing::StandInServiceProcess;
using testing::TemporaryFolder;
using testing::waitForExit;
using testing::waitUntil;

// Generous: these are deadlines for a loaded machine and a sanitizer build, not speed targets.
constexpr auto kLimit = std::chrono::seconds(20);

constexpr auto kBlockedSite = "games.example";
constexpr auto kBlockedAppId = "org.example.TessaryTestGame";
constexpr auto kBlockedAppName = "Tessary Test Game";

bool present(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

// The real agent against the stand-in service program over TLS, its credentials in a private
// keyring, one launch per test: everything monitoring shows to the service and to the browsers,
// and the way back to the not-set-up state when the parent deletes the device.
class MonitoringEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!harness.available())
            TESSARY_SKIP_WITHOUT(harness.whyUnavailable());
    }

    // What the service recorded for the paired device.
    json record() { return harness.service().device(harness.device().deviceId); }

    std::size_t recordCount(const char* list)
    {
        const auto device = record();
        return device.is_object() && device[list].is_array() ? device[list].size() : 0;
    }

    // Waits for an entry of one of the device's recorded lists whose payload is exactly this one.
    bool waitForPayload(const char* list, const json& payload) { return harness.waitForRecorded(list, payload, kLimit); }

    // A program the watcher recognises by its executable: a copy of sleep, started by a visible
    // desktop entry in the agent's XDG_DATA_DIRS, under the entry's ID.
    std::filesystem::path installBlockedApplication()
    {
        const auto program = harness.filesFolder() / "bin" / "tessary-test-game";
        std::filesystem::create_directories(program.parent_path());
        std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        TemporaryFolder::writeFile(harness.dataDir() / "applications" / (std::string(kBlockedAppId) + ".desktop"),
                                   "[Desktop Entry]\nType=Application\nName=" + std::string(kBlockedAppName) +
                                       "\nExec=" + program.string() + " 600\n");
        return program;
    }

    // The not-set-up state: no credential in the keyring, no Chrome manifest, no keep-alive unit,
    // no rules for the browsers.
    void expectPairingForgotten()
    {
        const auto forgotten = [&] {
            return !harness.credential("token") && !harness.credential("familyId") && !harness.credential("deviceId");
        };
        EXPECT_TRUE(waitUntil(forgotten, kLimit)) << "credentials left in the keyring";
        EXPECT_TRUE(waitUntil([&] { return !present(harness.chromeManifestFile()); }, kLimit));
        EXPECT_TRUE(waitUntil([&] { return !present(harness.keepAliveUnitFile()); }, kLimit));
        EXPECT_TRUE(waitUntil([&] { return !present(harness.keepAliveWantsLinkFile()); }, kLimit));
        EXPECT_TRUE(waitUntil([&] { return !harness.publishedRules(); }, kLimit))
            << harness.publishedRules().value_or(json()).dump();
    }

    // The agent stays up, waiting to be paired again, and no sanitizer reported anything.
    void expectAgentStillRunning()
    {
        auto& agent = harness.agent();
        EXPECT_FALSE(agent.hasExited()) << agent.output();
        EXPECT_FALSE(agent.hasLine("AddressSanitizer")) << agent.output();
        EXPECT_FALSE(agent.hasLine("runtime error:")) << agent.output();
    }

    PairedAgentHarness harness;
};

TEST_F(MonitoringEndToEndTest, PairedAgentReportsEnforcesAndForgetsThePairingWhenTheDeviceIsDeleted)
{
    // Step 1: paired at the service, credentials in the keyring, a blocked application installed.
    const auto device = harness.pairDevice();
    ASSERT_EQ(harness.credential("token"), device.token);
    const auto blockedProgram = installBlockedApplication();
    auto& service = harness.service();
    auto& agent = harness.startAgent();

    {
        SCOPED_TRACE("step 2: launch with credentials starts monitoring: heartbeat, rules fetch, channel");
        ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
        // The agent draws nothing itself: Qt's GUI and the panel's libraries are the panel process's.
        EXPECT_FALSE(testing::processMaps(agent.pid(), "/libQt6Gui.so")) << agent.output();
        EXPECT_FALSE(testing::processMaps(agent.pid(), "/libQt6Quick.so"));
        EXPECT_EQ(testing::childRunning(agent.pid(), "tessary-panel"), 0);
        ASSERT_TRUE(waitUntil([&] { return recordCount("heartbeats") > 0; }, kLimit)) << agent.output();
        const auto heartbeat = record()["heartbeats"][0]["headers"];
        EXPECT_EQ(StandInServiceProcess::header(heartbeat, "X-Device-Id"), device.deviceId);
        EXPECT_EQ(StandInServiceProcess::header(heartbeat, "Authorization"), "Bearer " + device.token);

        ASSERT_TRUE(agent.waitForLine("Rules fetched via HTTP: 0 blocked sites", kLimit)) << agent.output();

        ASSERT_TRUE(waitForPayload("statuses", json{{"online", true}})) << agent.output();
        EXPECT_EQ(StandInServiceProcess::header(record()["channelOpens"][0]["headers"], "X-Device-Id"),
                  device.deviceId);
        EXPECT_TRUE(present(harness.chromeManifestFile()));
        EXPECT_TRUE(present(harness.keepAliveUnitFile()));
    }

    const json rules = {{"mode", "allow"},
                        {"blockedSites", json::array({kBlockedSite})},
                        {"blockedApps", json::array({kBlockedAppId})},
                        {"approvedSites", json::array()},
                        {"approvedApps", json::array()},
                        {"grants", json::array()}};
    {
        SCOPED_TRACE("step 3: rules pushed over the channel are published to the browsers");
        const auto linesBefore = agent.lineCount();
        const auto pushed = service.pushRules(device.deviceId, rules);
        ASSERT_EQ(pushed.status, 200) << pushed.text;
        EXPECT_EQ(pushed.json.value("delivered", 0), 1) << pushed.text;
        ASSERT_TRUE(
            agent.waitForLine("Rules updated: mode=allow, 1 blocked sites, 1 blocked apps", kLimit, linesBefore))
            << agent.output();
        ASSERT_TRUE(waitUntil([&] { return harness.publishedRules() == rules; }, kLimit))
            << harness.publishedRules().value_or(json()).dump();
        const auto stored = harness.publishedRulesText().value_or("");
        EXPECT_EQ(nlohmann::ordered_json::parse(stored, nullptr, false).dump(), stored) << "compact JSON";
        // The blocker's sets are replaced on the main thread right after the store is written.
        ASSERT_TRUE(agent.waitForLine("AppBlocker updated: 0 approved apps", kLimit, linesBefore)) << agent.output();
    }

    {
        SCOPED_TRACE("step 4: browser events through the Chrome host reach the service");
        const auto visit = harness.sendBrowserMessage(
            {{"type", "url_visit"}, {"url", "https://example.org/a"}, {"timestamp", 1700000000}});
        EXPECT_EQ(visit, (json{{"ok", true}}));
        EXPECT_TRUE(waitForPayload(
            "activity",
            json{{"events",
                  json::array({{{"type", "site_visit"}, {"url", "https://example.org/a"}, {"ts", 1700000000}}})}}))
            << agent.output();

        const auto request = harness.sendBrowserMessage(
            {{"type", "access_request"}, {"url", "https://games.example/play"}, {"title", "Play a game"}});
        EXPECT_EQ(request, (json{{"ok", true}}));
        EXPECT_TRUE(
            waitForPayload("accessRequests", json{{"url", "https://games.example/play"}, {"title", "Play a game"}}))
            << agent.output();
    }

    {
        SCOPED_TRACE("step 5: a blocked application is killed at launch and reported");
        ChildProcess game({blockedProgram.string(), "600"});
        ASSERT_TRUE(game.started());
        ASSERT_TRUE(waitForExit(game.pid(), kLimit)) << agent.output();
        EXPECT_EQ(game.wait(), -1) << "ended by a signal";
        EXPECT_TRUE(waitForPayload("blockedLaunches", json{{"bundleId", kBlockedAppId}, {"appName", kBlockedAppName}}))
            << agent.output();
        EXPECT_TRUE(
            agent.waitForLine(std::string("Blocking app: ") + kBlockedAppName + " (" + kBlockedAppId + ")", kLimit));
    }

    {
        SCOPED_TRACE("step 6: deleting the device returns the agent to the not-set-up state");
        const auto deleted = service.deleteDevice(device.deviceId);
        ASSERT_EQ(deleted.status, 200) << deleted.text;
        ASSERT_TRUE(agent.waitForLine("Device deauthorized — cleaning up and resetting to setup wizard", kLimit))
            << agent.output();
        expectPairingForgotten();
    }

    expectAgentStillRunning();
}

// A parent at the dashboard in real headless Chromium (tests/e2e/dashboard_parent.py over WebDriver):
// each act() is one thing the parent does, answered with the page's visible text.
class ParentsBrowser {
public:
    static bool installed()
    {
        return testing::findProgram("chromedriver") &&
               ChildProcess::run({"/usr/bin/python3", "-c", "import selenium"}).first == 0;
    }

    ParentsBrowser(const std::filesystem::path& folder, const std::string& dashboard)
        : commands_(namedPipe(folder / "browser-commands")),
          driver_({"/usr/bin/python3", TESSARY_DASHBOARD_PARENT, dashboard, commands_.string()})
    {
        // Opening blocks until the driver opens its end.
        pipe_.open(commands_);
    }

    // The page's text after the action, or "error: ..." when the control is not there.
    std::string act(const std::vector<std::string>& command)
    {
        pipe_ << json(command).dump() << std::endl;
        const auto answer = json::parse(driver_.readLine().value_or("{}"), nullptr, false);
        if (answer.is_discarded() || !answer.is_object() || answer.contains("error"))
            return "error: " + (answer.is_object() ? answer.value("error", std::string("no answer")) : "no answer");
        return answer.value("text", "");
    }

private:
    static std::filesystem::path namedPipe(std::filesystem::path path)
    {
        if (::mkfifo(path.c_str(), 0600) != 0)
            throw std::runtime_error("cannot make " + path.string());
        return path;
    }

    std::filesystem::path commands_;
    ChildProcess driver_;
    std::ofstream pipe_;
};

// The family run from the dashboard, end to end: the real server, the real agent paired through its
// own wizard with the code the dashboard gave, and a parent in a real browser. What a parent does
// reaches the agent's shared store, and what the child does reaches the parent's page, as text.
TEST_F(MonitoringEndToEndTest, AParentRunsTheFamilyFromTheDashboardInARealBrowser)
{
    const auto xvfb = testing::findProgram("Xvfb");
    if (!xvfb || !testing::findProgram("xdotool") || !ParentsBrowser::installed())
        TESSARY_SKIP_WITHOUT("needs Xvfb, xdotool, chromedriver and python3-selenium");
    testing::VirtualDisplay display(*xvfb);
    ASSERT_TRUE(display.ready());
    auto& service = harness.service();
    ASSERT_TRUE(service.addParent("ada", "correct horse", "family-ada"));
    ParentsBrowser parent(harness.filesFolder(), service.baseURL());
    const auto shows = [](const std::string& page, const std::string& text) -> ::testing::AssertionResult {
        if (page.find(text) != std::string::npos)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the page does not show \"" << text << "\":\n" << page;
    };
    const auto signIn = [&](const std::string& name, const std::string& password) {
        parent.act({"open", "/"});
        parent.act({"fill", "Name", name});
        parent.act({"fill", "Password", password});
        return parent.act({"press", "Sign in"});
    };

    {
        SCOPED_TRACE("what a parent's browser cannot get past");
        const auto wrong = signIn("ada", "wrong password");
        EXPECT_TRUE(shows(wrong, "That name and password do not match.")) << "wrong password: " << wrong;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto refused = signIn("eve", "wrong password");
            EXPECT_TRUE(shows(refused, "do not match")) << attempt << ": " << refused;
        }
        const auto limited = signIn("eve", "wrong password");
        EXPECT_TRUE(shows(limited, "Too many attempts")) << "rate limit: " << limited;
        ASSERT_TRUE(shows(signIn("ada", "correct horse"), "No device is set up yet."));
        parent.act({"drop form tokens"});
        EXPECT_TRUE(shows(parent.act({"press", "New setup code"}), "This form has expired")) << "missing CSRF token";
        service.pairDevice("device-other");
        EXPECT_TRUE(shows(parent.act({"open", "/family/rules?device=device-other"}), "not one of this family's"))
            << "another family's device";
        parent.act({"open", "/"});
        const auto page = parent.act({"press", "New setup code"});
        const auto code = page.substr(page.find("Setup code: ") + 12, 6);
        const auto paired = service.call("POST", "/api/use-setup-code",
                                         json{{"setupCode", code}, {"deviceId", "device-html"}, {"deviceName", "<b>Kim</b>"}}.dump());
        ASSERT_EQ(paired.status, 200) << paired.text;
        EXPECT_TRUE(shows(parent.act({"open", "/"}), "<b>Kim</b>")) << "HTML in a device name, shown as text";
    }

    harness.setEnvironment("DISPLAY", display.name());
    harness.setEnvironment("QT_QPA_PLATFORM", "xcb");
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Device not set up — showing setup wizard", kLimit)) << agent.output();
    std::string deviceId;
    {
        SCOPED_TRACE("the agent pairs through its wizard, with the code typed as a person types it");
        parent.act({"open", "/"});
        const auto page = parent.act({"press", "New setup code"});
        ASSERT_TRUE(shows(page, "Setup code: ")) << page;
        const auto code = page.substr(page.find("Setup code: ") + 12, 6);
        pid_t panel = 0;
        std::string window;
        ASSERT_TRUE(waitUntil(
            [&] {
                panel = testing::childRunning(agent.pid(), "tessary-panel");
                if (panel == 0)
                    return false;
                window = ChildProcess::run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(panel)},
                                           {{"DISPLAY", display.name()}})
                             .second;
                return !window.empty();
            },
            kLimit))
            << agent.output();
        window = window.substr(0, window.find('\n'));
        const std::map<std::string, std::string> onDisplay{{"DISPLAY", display.name()}};
        const auto geometry = [&] { return ChildProcess::run({"xdotool", "getwindowgeometry", window}, onDisplay).second; };
        const auto welcome = geometry();
        // The welcome screen's Setup, from the keyboard; the code's screen is larger.
        EXPECT_EQ(ChildProcess::run({"xdotool", "windowfocus", "--sync", window}, onDisplay).first, 0);
        EXPECT_EQ(ChildProcess::run({"xdotool", "key", "Tab", "space"}, onDisplay).first, 0);
        ASSERT_TRUE(waitUntil([&] { return geometry() != welcome; }, kLimit)) << welcome;
        EXPECT_EQ(ChildProcess::run({"xdotool", "type", "--delay", "40", code}, onDisplay).first, 0);
        EXPECT_EQ(ChildProcess::run({"xdotool", "key", "Return"}, onDisplay).first, 0);
        ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
        deviceId = harness.credential("deviceId").value_or("");
        ASSERT_FALSE(deviceId.empty());
    }
    const auto deviceName = service.device(deviceId)["pairing"].value("deviceName", deviceId);

    {
        SCOPED_TRACE("a site blocked at the dashboard reaches the agent's shared store");
        parent.act({"open", "/family/rules?device=" + deviceId});
        parent.act({"fill", "Blocked sites, one per line", kBlockedSite});
        EXPECT_TRUE(shows(parent.act({"press", "Save and send to " + deviceName}), "Saved and sent to the device."));
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto rules = harness.publishedRules();
                return rules && (*rules)["blockedSites"] == json::array({kBlockedSite});
            },
            kLimit))
            << harness.publishedRules().value_or(json()).dump();
    }

    {
        SCOPED_TRACE("a visit appears in the day's timeline, its address as text");
        const auto url = "https://example.org/<b>bold</b>";
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
        EXPECT_EQ(harness.sendBrowserMessage({{"type", "url_visit"}, {"url", url}, {"timestamp", now.count()}}),
                  (json{{"ok", true}}));
        EXPECT_TRUE(waitUntil([&] { return static_cast<bool>(shows(parent.act({"open", "/family/activity?device=" + deviceId}), url)); },
                              kLimit))
            << parent.act({"open", "/family/activity?device=" + deviceId});
    }

    {
        SCOPED_TRACE("a request appears without a reload, and its grant reaches the shared store");
        parent.act({"open", "/"});
        EXPECT_EQ(harness.sendBrowserMessage({{"type", "access_request"}, {"url", "https://games.example/play"},
                                              {"title", "Play a game"}}),
                  (json{{"ok", true}}));
        EXPECT_TRUE(shows(parent.act({"wait for", "https://games.example/play", "20"}), "https://games.example/play"));
        parent.act({"press", "Grant for 1 hour"});
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto rules = harness.publishedRules();
                return rules && rules->value("grants", json::array()).size() == 1 &&
                       (*rules)["grants"][0].value("url", "") == kBlockedSite;
            },
            kLimit))
            << harness.publishedRules().value_or(json()).dump();
    }

    {
        SCOPED_TRACE("a device removed at the dashboard returns to its wizard");
        parent.act({"open", "/"});
        parent.act({"press", "Remove " + deviceName});
        ASSERT_TRUE(agent.waitForLine("Device deauthorized — cleaning up and resetting to setup wizard", kLimit))
            << agent.output();
        expectPairingForgotten();
    }

    parent.act({"forge cookie", "tessary_session", std::string(64, '0')});
    EXPECT_TRUE(shows(parent.act({"open", "/"}), "Sign in")) << "a session the server does not know (expired)";
    expectAgentStillRunning();
}

// The shared store replaced or truncated under the running agent and browser hosts: each found a
// real fault here. A deleted or damaged store is the unit tests' table.
TEST_F(MonitoringEndToEndTest, AStoreReplacedOrTruncatedIsRebuiltAndVisitsStillArriveOnce)
{
    const auto device = harness.pairDevice();
    auto& service = harness.service();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
    ASSERT_TRUE(waitForPayload("statuses", json{{"online", true}})) << agent.output();
    const json rules = {{"mode", "deny"},
                        {"blockedSites", json::array()},
                        {"blockedApps", json::array()},
                        {"approvedSites", json::array({"school.example"})},
                        {"approvedApps", json::array()},
                        {"grants", json::array()}};
    ASSERT_EQ(service.pushRules(device.deviceId, rules).status, 200);
    ASSERT_TRUE(waitUntil([&] { return harness.publishedRules() == rules; }, kLimit)) << agent.output();

    const auto store = harness.storeFile();
    struct Step {
        const char* name;
        std::function<void()> damage;
        const char* line;
    };
    // A healthy store without the rules, renamed over the agent's (a restored backup, say).
    const auto replaceWithAnEmptyStore = [&] {
        const auto other = store.parent_path() / "other.sqlite3";
        ASSERT_TRUE(SharedStore::open(other, SharedStore::Access::readWrite, std::chrono::milliseconds(1000)));
        std::filesystem::rename(other, store);
    };
    // Cut off once every page is in the file itself. Pages the browsers and the agent write next
    // land in the WAL, so SQLite may keep working through the cut until a read needs a lost page;
    // either way no visit may be lost.
    const auto truncateAfterACheckpoint = [&] {
        sqlite3* connection = nullptr;
        ASSERT_EQ(sqlite3_open(store.c_str(), &connection), SQLITE_OK);
        sqlite3_busy_timeout(connection, 1000);
        EXPECT_EQ(sqlite3_wal_checkpoint_v2(connection, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(connection);
        std::filesystem::resize_file(store, 100);
    };
    const Step steps[] = {
        {"replaced", replaceWithAnEmptyStore, "Shared store was replaced — published the rules into it again"},
        {"truncated", truncateAfterACheckpoint, nullptr},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const auto linesBefore = agent.lineCount();
        step.damage();
        // Healthy again: a browser reads the agent's rules from it.
        ASSERT_TRUE(waitUntil([&] { return harness.publishedRules() == rules; }, kLimit)) << agent.output();
        if (step.line != nullptr) {
            EXPECT_TRUE(agent.waitForLine(step.line, kLimit, linesBefore)) << agent.output();
        }

        std::vector<std::string> urls;
        for (int visit = 0; visit < 3; ++visit) {
            urls.push_back("https://after-" + std::to_string(visit) + ".example/" + step.name);
            EXPECT_EQ(harness.sendBrowserMessage({{"type", "url_visit"}, {"url", urls.back()}, {"timestamp", visit}}),
                      (json{{"ok", true}}));
        }
        const auto arrivals = [&](const std::string& url) {
            std::size_t count = 0;
            const auto activity = record().value("activity", json::array());
            for (const auto& entry : activity)
                for (const auto& event : entry["payload"].value("events", json::array()))
                    if (event.value("url", "") == url)
                        ++count;
            return count;
        };
        ASSERT_TRUE(waitUntil(
            [&] { return std::all_of(urls.begin(), urls.end(), [&](const auto& url) { return arrivals(url) > 0; }); },
            kLimit))
            << agent.output();
        for (const auto& url : urls)
            EXPECT_EQ(arrivals(url), 1U) << url;
    }
    expectAgentStillRunning();
}

// systemd-run --user --scope --unit=app-gnome-<approved>-1 <game>: the game runs in a scope named
// after another application, which is how the unit's ID would otherwise hide it.
TEST_F(MonitoringEndToEndTest, ABlockedGameInAScopeNamedAfterAnotherApplicationIsStoppedAndReported)
{
    const auto uid = std::to_string(::getuid());
    const std::filesystem::path scope = "/sys/fs/cgroup/unified/user.slice/user-" + uid + ".slice/user@" + uid +
                                        ".service/app.slice/app-gnome-org.gnome.Calculator-4242.scope";
    std::error_code error;
    std::filesystem::create_directories(scope, error);
    if (error || !std::filesystem::exists(scope / "cgroup.procs"))
        GTEST_SKIP() << "no writable cgroup v2 hierarchy at /sys/fs/cgroup/unified to make a scope in";
    const auto device = harness.pairDevice();
    const auto blockedProgram = installBlockedApplication();
    auto& service = harness.service();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Rules fetched via HTTP: 0 blocked sites", kLimit)) << agent.output();
    const json rules = {{"mode", "allow"},
                        {"blockedSites", json::array()},
                        {"blockedApps", json::array({kBlockedAppId})},
                        {"approvedSites", json::array()},
                        {"approvedApps", json::array({"org.gnome.Calculator"})},
                        {"grants", json::array()}};
    ASSERT_EQ(service.pushRules(device.deviceId, rules).status, 200);
    ASSERT_TRUE(agent.waitForLine("AppBlocker updated: 1 approved apps", kLimit)) << agent.output();

    // As systemd-run does: the process enters the scope, then becomes the game.
    ChildProcess game({"/bin/sh", "-c", "echo $$ > \"$0\" && exec \"$1\" 600", (scope / "cgroup.procs").string(),
                       blockedProgram.string()});
    ASSERT_TRUE(game.started());
    EXPECT_TRUE(waitForExit(game.pid(), kLimit)) << agent.output();
    const auto blockedAsTheGame = [&] {
        for (const auto& entry : record().value("blockedLaunches", json::array()))
            if (entry["payload"].value("bundleId", "") == kBlockedAppId)
                return true;
        return false;
    };
    EXPECT_TRUE(waitUntil(blockedAsTheGame, kLimit)) << agent.output();
    const auto reported = [&] {
        for (const auto& heartbeat : record().value("heartbeats", json::array()))
            if (heartbeat["headers"].value("X-App-Error", "").find(
                    std::string(kBlockedAppId) + " ran under the identity of org.gnome.Calculator") != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(waitUntil(reported, kLimit)) << agent.output();
    game.wait();
    std::filesystem::remove(scope, error);
}

// A trigger planted in the outbox with sqlite3 swallows no visit and reaches the parent in a
// heartbeat: the outbox's findings join the agent's tamper report. (The shared store's tricks and
// the outbox's repair are the unit tests' tables.)
TEST_F(MonitoringEndToEndTest, ATriggerPlantedInTheOutboxIsUndoneAndReachesTheParentInAHeartbeat)
{
    harness.pairDevice();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
    const auto visitArrives = [&](const std::string& url) {
        EXPECT_EQ(harness.sendBrowserMessage({{"type", "url_visit"}, {"url", url}, {"timestamp", 1}}),
                  (json{{"ok", true}}));
        return waitForPayload("activity",
                              json{{"events", json::array({json{{"type", "site_visit"}, {"url", url}, {"ts", 1}}})}});
    };
    // Delivered through the outbox, so its file is there.
    ASSERT_TRUE(visitArrives("https://before.example/")) << agent.output();

    const auto outbox = harness.storeFile().parent_path().parent_path() / "app.brenmoor.tessary" / "outbox.sqlite3";
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(outbox.c_str(), &connection), SQLITE_OK);
    sqlite3_busy_timeout(connection, 2000);
    EXPECT_EQ(sqlite3_exec(connection, "CREATE TRIGGER hush BEFORE INSERT ON outbox BEGIN SELECT RAISE(IGNORE); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(connection);
    sqlite3_close(connection);
    const auto reported = [&] {
        for (const auto& heartbeat : record().value("heartbeats", json::array())) {
            const auto error = heartbeat["headers"].value("X-App-Error", "");
            if (error.starts_with("Tampering detected: ") && error.find("trigger hush on outbox") != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(waitUntil(reported, kLimit)) << agent.output();
    EXPECT_TRUE(visitArrives("https://after.example/")) << agent.output();
    expectAgentStillRunning();
}

// Real headless Firefox ESR with a side-loaded extension of the Tessary extension's ID, which talks
// to the agent through the Firefox host as the real extension does: the parent's pushed rules reach
// it, its visit (one message per start) and its access request (several on one connection) reach
// the parent, and Firefox's manifest is gone once the device is deleted.
TEST_F(MonitoringEndToEndTest, FirefoxReachesTheParentThroughTheFirefoxHost)
{
    using testing::HeadlessFirefox;
    if (!HeadlessFirefox::installed())
        TESSARY_SKIP_WITHOUT("firefox-esr is not installed");
    std::filesystem::create_directories(harness.paths().home / ".mozilla");
    const auto manifest = harness.paths().home / ".mozilla" / "native-messaging-hosts" / "app.brenmoor.tessary.json";
    auto& service = harness.service();
    const auto& device = harness.pairDevice();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
    ASSERT_TRUE(agent.waitForLine("Firefox native messaging host installed", kLimit)) << agent.output();
    ASSERT_TRUE(present(manifest));

    const json rules = {{"mode", "allow"},        {"blockedSites", json::array({kBlockedSite})},
                        {"blockedApps", json::array()}, {"approvedSites", json::array()},
                        {"approvedApps", json::array()}, {"grants", json::array()}};
    ASSERT_EQ(service.pushRules(device.deviceId, rules).status, 200);
    ASSERT_TRUE(waitUntil([&] { return harness.publishedRules() == rules; }, kLimit));

    HeadlessFirefox firefox(harness.filesFolder(), harness.agentEnvironment());
    EXPECT_TRUE(waitForPayload("activity", json{{"events", json::array({{{"type", "site_visit"},
                                                                          {"url", HeadlessFirefox::kVisitURL},
                                                                          {"ts", HeadlessFirefox::kVisitTimestamp}}})}}))
        << agent.output() << firefox.process().output();
    EXPECT_TRUE(waitForPayload("accessRequests", json{{"url", HeadlessFirefox::kWantedURL},
                                                      {"title", json::array({kBlockedSite}).dump()}}))
        << agent.output() << firefox.process().output();
    EXPECT_TRUE(waitForPayload("accessRequests", json{{"url", HeadlessFirefox::kPrivateBrowsingURL}, {"title", "false"}}))
        << "no policy here: " << agent.output();

    ASSERT_EQ(service.deleteDevice(device.deviceId).status, 200);
    EXPECT_TRUE(waitUntil([&] { return !present(manifest); }, kLimit)) << agent.output();
    EXPECT_TRUE(agent.waitForLine("Firefox native messaging host removed", kLimit)) << agent.output();
}

}  // namespace
}  // namespace tessary
