#include <gtest/gtest.h>

#include "tests/support/TemporaryFolder.h"

#include <map>
#include <regex>

#include "server/dashboard/ActivityTimeline.h"
#include "server/dashboard/Dashboard.h"
#include "server/dashboard/PasswordHash.h"
#include "server/storage/SqliteFamilyStore.h"
#include "server/service/FamilyService.h"

namespace tessary {
namespace {

using server::Dashboard;
using server::HttpAnswer;
using server::HttpQuery;

class TwoFamilies final : public server::FamilyDirectory {
public:
    std::vector<server::DeviceSummary> devicesOf(const std::string& familyId) override
    {
        if (familyId == "family-1")
            return {{"device-a", "<script>alert(1)</script> & co", true, std::nullopt, "1.2.0",
                     "The shared store was replaced <b>outside</b> the agent"},
                    {"device-b", "", false, 1'800'000'000, "1.1.0"}};
        return {{"device-other", "Other family's laptop", false, std::nullopt, ""}};
    }
    std::string issueSetupCode(const std::string& familyId, std::int64_t validFor) override
    {
        issued.emplace_back(familyId, validFor);
        return "123456";
    }
    std::vector<server::AccessRequestSummary> pendingRequests(const std::string& familyId) override
    {
        if (familyId != "family-1" || answered)
            return {};
        return {{"device-a", "Kim's laptop", "https://games.example/<play>", "Games", 1'800'000'000}};
    }
    bool answerRequest(const std::string& familyId, const std::string& deviceId, const std::string& url,
                       server::RequestAnswer answer) override
    {
        if (familyId != "family-1" || deviceId != "device-a" || url != "https://games.example/<play>" || answered)
            return false;
        answered = answer;
        return true;
    }
    bool removeDevice(const std::string& familyId, const std::string& deviceId) override
    {
        if (familyId != "family-1" || deviceId != "device-a")
            return false;
        removed.push_back(deviceId);
        return true;
    }
    std::optional<server::DeviceRules> rulesOf(const std::string& familyId, const std::string& deviceId) override
    {
        if (familyId != "family-1" || deviceId != "device-a")
            return std::nullopt;
        return server::DeviceRules{"Kim's laptop",
                                   {{"mode", "allow"}, {"blockedSites", {"games.example"}}, {"blockedApps", {"org.gnome.Mines"}}},
                                   {{"org.gnome.Mines", "Mines"}, {"org.example.Evil", "<img src=x onerror=alert(1)>"}}};
    }
    bool saveRules(const std::string& familyId, const std::string& deviceId, const nlohmann::json& rules) override
    {
        if (familyId != "family-1" || deviceId != "device-a")
            return false;
        saved = rules;
        return true;
    }
    std::optional<server::DeviceReports> reportsOf(const std::string& familyId, const std::string& deviceId,
                                                   std::int64_t from, std::int64_t to) override
    {
        if (familyId != "family-1" || deviceId != "device-a")
            return std::nullopt;
        asked = {from, to};
        return server::DeviceReports{"Kim's laptop", reports};
    }
    std::vector<std::pair<std::string, std::int64_t>> issued;
    std::vector<server::StoredReport> reports;
    std::pair<std::int64_t, std::int64_t> asked;
    std::optional<nlohmann::json> saved;
    std::optional<server::RequestAnswer> answered;
    std::vector<std::string> removed;
};

std::string cookieValue(const HttpAnswer& answer, const std::string& name)
{
    for (const auto& [header, value] : answer.headers)
        if (header == "Set-Cookie" && value.rfind(name + "=", 0) == 0)
            return value.substr(name.size() + 1, value.find(';') - name.size() - 1);
    return {};
}

std::string formToken(const HttpAnswer& page)
{
    std::smatch match;
    return std::regex_search(page.body, match, std::regex(R"re(name="form" value="([0-9a-f]+)")re")) ? match[1].str() : "";
}

// The dashboard over a real store in memory, two families, and time that moves only when told.
class DashboardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        store = std::move(server::SqliteFamilyStore::open(":memory:")).value();
        ASSERT_FALSE(store->putParent({"ada", "family-1", *server::PasswordHash::of("correct horse")}));
        dashboard = std::make_unique<Dashboard>(store, families, [this] { return now; });
    }

    HttpAnswer get(const std::string& cookies = {})
    {
        return dashboard->handle({"GET", "/", cookies.empty() ? Headers{} : Headers{{"Cookie", cookies}}, ""}, "/");
    }
    HttpAnswer post(const std::string& path, const std::string& body, const std::string& cookies)
    {
        return dashboard->handle({"POST", path, {{"Cookie", cookies}}, body}, path);
    }
    // Signs in from a fresh sign-in page; the session cookie, empty when refused.
    std::pair<HttpAnswer, std::string> signIn(const std::string& name, const std::string& password)
    {
        const auto page = get();
        const auto cookie = "tessary_sign_in=" + cookieValue(page, "tessary_sign_in");
        auto answer = post("/sign-in", "form=" + formToken(page) + "&name=" + name + "&password=" + password, cookie);
        return {answer, cookieValue(answer, "tessary_session")};
    }

    using Headers = std::vector<std::pair<std::string, std::string>>;
    std::int64_t now = 1'900'000'000;
    TwoFamilies families;
    std::shared_ptr<server::SqliteFamilyStore> store;
    std::unique_ptr<Dashboard> dashboard;
};

TEST_F(DashboardTest, AParentSignsInSeesOnlyTheFamilysDevicesAsTextAndGetsASetupCode)
{
    const auto signInPage = get();
    EXPECT_EQ(signInPage.status, 200);
    EXPECT_NE(signInPage.body.find("<label for=\"password\">Password</label>"), std::string::npos);

    const auto [answer, session] = signIn("ada", "correct+horse");
    ASSERT_EQ(answer.status, 303) << answer.body;
    ASSERT_FALSE(session.empty());
    bool sessionCookieIsGuarded = false;
    for (const auto& [header, value] : answer.headers)
        if (value.rfind("tessary_session=", 0) == 0)
            sessionCookieIsGuarded = value.find("; HttpOnly; Secure; SameSite=Strict") != std::string::npos;
    EXPECT_TRUE(sessionCookieIsGuarded);

    const auto devices = get("tessary_session=" + session);
    ASSERT_EQ(devices.status, 200);
    EXPECT_NE(devices.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; co"), std::string::npos);
    EXPECT_EQ(devices.body.find("<script>alert"), std::string::npos);
    EXPECT_NE(devices.body.find("Online"), std::string::npos);
    EXPECT_NE(devices.body.find("Last seen 2027-01-15 08:00 UTC"), std::string::npos);
    EXPECT_NE(devices.body.find("Reported: The shared store was replaced &lt;b&gt;outside&lt;/b&gt; the agent"),
              std::string::npos);
    EXPECT_EQ(devices.body.find("Other family"), std::string::npos) << "another family's device is not shown";
    bool hasPolicy = false;
    for (const auto& [header, value] : devices.headers)
        hasPolicy |= header == "Content-Security-Policy" && value.find("default-src 'none'") != std::string::npos;
    EXPECT_TRUE(hasPolicy);
    // What the page's script fetches to stay current: the requests and devices alone, as text.
    const auto live = dashboard->handle({"GET", "/family/live", {{"Cookie", "tessary_session=" + session}}, ""}, "/family/live");
    EXPECT_EQ(live.status, 200);
    EXPECT_NE(live.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; co"), std::string::npos);
    EXPECT_NE(live.body.find("games.example/&lt;play&gt;"), std::string::npos);
    EXPECT_EQ(live.body.find("Sign out"), std::string::npos);
    EXPECT_NE(devices.body.find("<div id=\"live\" aria-live=\"polite\">" + live.body + "</div>"), std::string::npos);
    const auto script = dashboard->handle({"GET", "/dashboard.js", {}, ""}, "/dashboard.js");
    EXPECT_EQ(script.contentType, "text/javascript; charset=utf-8");
    EXPECT_NE(script.body.find("/family/live"), std::string::npos);

    const auto code = post("/family/setup-code", "form=" + formToken(devices), "tessary_session=" + session);
    EXPECT_EQ(code.status, 200);
    EXPECT_NE(code.body.find("Setup code: 123456 (valid for 10 minutes)"), std::string::npos);
    ASSERT_EQ(families.issued.size(), 1U);
    EXPECT_EQ(families.issued[0], std::make_pair(std::string("family-1"), Dashboard::kSetupCodeLifetime));
}

// Each answer a parent can give a request, as the grant the device receives.
TEST_F(DashboardTest, ARequestIsGrantedForEachChosenTimeOrDeniedOnce)
{
    const auto session = "tessary_session=" + signIn("ada", "correct+horse").second;
    const auto page = get(session);
    EXPECT_NE(page.body.find("Kim&#39;s laptop asks for <strong>https://games.example/&lt;play&gt;</strong> (Games)"),
              std::string::npos)
        << page.body;
    struct Row {
        const char* answer;
        bool grant;
        std::optional<std::int64_t> expiry;
    };
    for (const auto& row : {Row{"15m", true, now + 900}, Row{"1h", true, now + 3600}, Row{"always", true, std::nullopt},
                            Row{"deny", false, std::nullopt}}) {
        SCOPED_TRACE(row.answer);
        families.answered.reset();
        const auto answered = post("/family/answer",
                                   "form=" + formToken(page) + "&device=device-a&url=https%3A%2F%2Fgames.example%2F%3Cplay%3E" +
                                       "&answer=" + row.answer,
                                   session);
        EXPECT_EQ(answered.status, 200);
        ASSERT_TRUE(families.answered);
        EXPECT_EQ(families.answered->grant, row.grant);
        EXPECT_EQ(families.answered->expiry, row.expiry);
        EXPECT_EQ(answered.body.find("asks for"), std::string::npos) << "an answered request is no longer offered";
    }
    families.answered.reset();
    post("/family/answer", "form=" + formToken(page) + "&device=device-a&url=https%3A%2F%2Fgames.example%2F%3Cplay%3E&answer=today",
         session);
    ASSERT_TRUE(families.answered && families.answered->expiry);
    EXPECT_GT(*families.answered->expiry, now);
    EXPECT_LE(*families.answered->expiry, now + 24 * 3600) << "today ends within a day";
}

TEST_F(DashboardTest, RulesAreEditedFromTheReportedApplicationsAndSitesAreCheckedBeforeAnythingIsSaved)
{
    const auto session = "tessary_session=" + signIn("ada", "correct+horse").second;
    const auto page = dashboard->handle({"GET", "/family/rules?device=device-a", {{"Cookie", session}}, ""}, "/family/rules");
    ASSERT_EQ(page.status, 200) << page.body;
    EXPECT_NE(page.body.find("value=\"org.gnome.Mines\" checked"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
    EXPECT_NE(page.body.find("games.example\n</textarea>"), std::string::npos);
    const auto form = "form=" + formToken(page) + "&device=device-a";

    post("/family/rules", form + "&mode=deny&approvedSites=school.example%0D%0A+Wiki.Example+%0A%0A*.kids.example" +
                              "&approvedApps=org.gnome.Mines&approvedApps=org.example.Evil",
         session);
    ASSERT_TRUE(families.saved);
    EXPECT_EQ(*families.saved, nlohmann::json::parse(R"({"mode":"deny","blockedSites":[],"blockedApps":[],
        "approvedSites":["*.kids.example","school.example","wiki.example"],
        "approvedApps":["org.example.Evil","org.gnome.Mines"]})"));

    struct Refused {
        const char* why;
        std::string body;
        const char* says;
    };
    for (const auto& row : {Refused{"a line that is no site", form + "&mode=allow&blockedSites=games.example%0Ahttp%3A%2F%2Fx%2Fy",
                                    "is not a site name"},
                            Refused{"no mode", form + "&blockedSites=games.example", "Choose a mode"},
                            Refused{"another family's device", "form=" + formToken(page) + "&device=device-other&mode=allow",
                                    "not one of this family"}}) {
        SCOPED_TRACE(row.why);
        families.saved.reset();
        EXPECT_NE(post("/family/rules", row.body, session).body.find(row.says), std::string::npos);
        EXPECT_FALSE(families.saved);
    }
}

// A day's timeline from what a device reported, and what the day came to.
TEST(ActivityTimelineTest, ADayIsItsReportsInTheirOwnTimeAndTheirSum)
{
    using server::StoredReport;
    using Kind = server::TimelineEntry::Kind;
    const std::int64_t day = 1'000'000;
    const auto activity = [](const std::string& events, std::int64_t arrived) {
        return StoredReport{"activity", arrived, R"({"type":"activity","payload":{"events":)" + events + "}}"};
    };
    const std::vector<StoredReport> reports{
        activity(R"([{"type":"site_visit","url":"https://Games.Example:8080/play?x=1","ts":1000100},
                     {"type":"app_launch","appName":"Mines","bundleId":"org.gnome.Mines","ts":1000200}])", 1000201),
        // Delivered two days late by the outbox: placed at its own time.
        activity(R"([{"type":"site_visit","url":"https://games.example/","ts":1000300}])", day + 2 * 86400),
        activity(R"([{"type":"app_launch","appName":"Mines","bundleId":"org.gnome.Mines","ts":1000400},
                     {"type":"app_terminate","appName":"Mines","bundleId":"org.gnome.Mines","ts":1000500},
                     {"type":"app_terminate","appName":"Mines","bundleId":"org.gnome.Mines","ts":1000800},
                     {"type":"app_terminate","appName":"Ghost","bundleId":"org.example.Ghost","ts":1000810},
                     {"type":"app_launch","appName":"Editor","bundleId":"org.example.Editor","ts":1000900}])", 1000900),
        {"blocked_app_launch", 1000600, R"({"type":"blocked_app_launch","payload":{"bundleId":"org.example.Game","appName":"Game"}})"},
        {"access_request", 1000700, R"({"type":"access_request","payload":{"url":"https://wiki.example/","title":"Wiki"}})"},
        // Left out: another day, a status, a frame that is not JSON, an event without its fields.
        activity(R"([{"type":"site_visit","url":"https://yesterday.example/","ts":999000}])", 999000),
        {"status", 1000100, R"({"type":"status","payload":{"online":true}})"},
        {"activity", 1000100, "{cut"},
        activity(R"([{"type":"site_visit","ts":1000150},{"type":"app_launch","ts":1000160}])", 1000160),
    };
    const auto entries = server::ActivityTimeline::entries(reports, day, day + 86400);
    std::vector<std::pair<Kind, std::int64_t>> seen;
    for (const auto& entry : entries)
        seen.emplace_back(entry.kind, entry.at);
    EXPECT_EQ(seen, (std::vector<std::pair<Kind, std::int64_t>>{
                        {Kind::site, 1000100}, {Kind::launch, 1000200}, {Kind::site, 1000300}, {Kind::launch, 1000400},
                        {Kind::quit, 1000500}, {Kind::blocked, 1000600}, {Kind::request, 1000700}, {Kind::quit, 1000800},
                        {Kind::quit, 1000810}, {Kind::launch, 1000900}}));

    const auto summary = server::ActivityTimeline::summary(entries, 1001000);
    EXPECT_EQ(summary.sitesVisited, 2U);
    EXPECT_EQ(summary.topSites, (std::vector<std::pair<std::string, std::size_t>>{{"games.example", 2}}));
    // Two instances of Mines from 1000200 until the last ends at 1000800; the editor still runs at 1001000.
    EXPECT_EQ(summary.applicationTime,
              (std::vector<std::pair<std::string, std::int64_t>>{{"Mines", 600}, {"Editor", 100}}));
    EXPECT_EQ(summary.blockedLaunches, 1U);
    EXPECT_EQ(summary.requests, 1U);
}

TEST_F(DashboardTest, ADevicesDayIsShownFilteredAndAsText)
{
    families.reports = {{"activity", now, R"({"type":"activity","payload":{"events":[
        {"type":"site_visit","url":"https://x.example/<b>","ts":)" + std::to_string(now) + R"(}]}})"},
                        {"blocked_app_launch", now, R"({"type":"blocked_app_launch","payload":{"bundleId":"org.example.Game",
        "appName":"Game"}})"}};
    const auto session = "tessary_session=" + signIn("ada", "correct+horse").second;
    const auto open = [&](const std::string& target) {
        return dashboard->handle({"GET", target, {{"Cookie", session}}, ""}, "/family/activity");
    };
    const auto today = open("/family/activity?device=device-a");
    ASSERT_EQ(today.status, 200) << today.body;
    EXPECT_NE(today.body.find("https://x.example/&lt;b&gt;"), std::string::npos) << today.body;
    EXPECT_NE(today.body.find("1 pages visited"), std::string::npos);
    EXPECT_NE(today.body.find("Blocked</td><td>Game"), std::string::npos);
    EXPECT_LE(families.asked.first, now - 86400);
    EXPECT_GE(families.asked.second, now + 7 * 86400) << "late deliveries are looked for";

    const auto blockedOnly = open("/family/activity?device=device-a&show=blocked");
    EXPECT_EQ(blockedOnly.body.find("<td>https://x.example/"), std::string::npos);
    EXPECT_NE(blockedOnly.body.find("Blocked</td><td>Game"), std::string::npos);
    EXPECT_NE(open("/family/activity?device=device-a&day=2001-01-01").body.find("Nothing reported."), std::string::npos);
    EXPECT_NE(open("/family/activity?device=device-other").body.find("not one of this family"), std::string::npos);
    EXPECT_EQ(open("/family/activity?device=device-a&day=2027-02-31").status, 200) << "a day that does not exist is today";
}

TEST_F(DashboardTest, WhatIsRefused)
{
    EXPECT_EQ(signIn("ada", "wrong").first.status, 401) << "a wrong password";
    EXPECT_EQ(signIn("nobody", "correct+horse").first.status, 401) << "an unknown name, answered alike";
    const auto page = get();
    EXPECT_EQ(post("/sign-in", "name=ada&password=correct+horse", "tessary_sign_in=" + cookieValue(page, "tessary_sign_in"))
                  .status,
              403)
        << "a sign-in without its page's token";

    const auto session = signIn("ada", "correct+horse").second;
    const auto cookie = "tessary_session=" + session;
    EXPECT_EQ(post("/family/setup-code", "", cookie).status, 403) << "a form without its session's token";
    EXPECT_EQ(post("/family/setup-code", "form=" + formToken(get(cookie)), "tessary_session=forged").status, 303)
        << "a form of another session";
    EXPECT_TRUE(families.issued.empty());
    const auto token = "form=" + formToken(get(cookie));
    EXPECT_NE(post("/family/remove", token + "&device=device-other", cookie).body.find("not one of this family"),
              std::string::npos)
        << "another family's device";
    EXPECT_NE(post("/family/answer", token + "&device=device-other&url=x&answer=always", cookie)
                  .body.find("no longer waiting"),
              std::string::npos)
        << "a request of another family's device";
    EXPECT_NE(post("/family/answer", token + "&device=device-a&url=https%3A%2F%2Fgames.example%2F%3Cplay%3E&answer=forever",
                   cookie)
                  .body.find("Choose how to answer"),
              std::string::npos)
        << "an answer the page does not offer";
    EXPECT_TRUE(families.removed.empty());
    EXPECT_FALSE(families.answered);

    now += Dashboard::kSessionLifetime;
    EXPECT_NE(get(cookie).body.find("Sign in"), std::string::npos) << "an expired session";
    EXPECT_EQ(dashboard->handle({"GET", "/family/live", {{"Cookie", cookie}}, ""}, "/family/live").status, 401)
        << "live updates of an expired session";

    const auto again = signIn("ada", "correct+horse").second;
    const auto signedOut = post("/sign-out", "form=" + formToken(get("tessary_session=" + again)), "tessary_session=" + again);
    EXPECT_EQ(signedOut.status, 303);
    EXPECT_NE(get("tessary_session=" + again).body.find("Sign in"), std::string::npos) << "a session signed out";
}

TEST_F(DashboardTest, RepeatedWrongPasswordsCloseTheNameForItsWindowEvenToTheRightOne)
{
    for (int attempt = 0; attempt < Dashboard::kFailuresPerName; ++attempt)
        ASSERT_EQ(signIn("ada", "guess" + std::to_string(attempt)).first.status, 401);
    EXPECT_EQ(signIn("ada", "correct+horse").first.status, 429);
    now += Dashboard::kFailureWindow;
    EXPECT_EQ(signIn("ada", "correct+horse").first.status, 303);

    // Many names at once close signing in for everyone for that minute.
    for (int attempt = 0; attempt < Dashboard::kFailuresPerMinute; ++attempt)
        ASSERT_EQ(signIn("name" + std::to_string(attempt), "x").first.status, 401);
    EXPECT_EQ(signIn("ada", "correct+horse").first.status, 429);
    now += 60;
    EXPECT_EQ(signIn("ada", "correct+horse").first.status, 303);
}

// The service behind the dashboard: a family reaches only its own devices and their requests, a
// request once answered waits no more until the child asks again, and a restart forgets none of it.
TEST(DashboardServiceTest, AFamilyReachesOnlyItsOwnDevicesAndRequests)
{
    testing::TemporaryFolder folder;
    const auto file = folder.path() / "service.sqlite3";
    server::FamilyService service(std::move(server::SqliteFamilyStore::open(file)).value());
    const auto pair = [&](const std::string& family, const std::string& device) {
        const auto code = service.issueSetupCode(family, 600);
        const auto answer = service.handle(
            {"POST", "/api/use-setup-code", {}, nlohmann::json{{"setupCode", code}, {"deviceId", device}, {"deviceName", device}}.dump()});
        EXPECT_EQ(answer.status, 200) << answer.body;
        return nlohmann::json::parse(answer.body).value("token", "");
    };
    const auto tokenA = pair("family-1", "device-a");
    pair("family-2", "device-b");
    const auto takeover = service.handle({"POST", "/api/use-setup-code", {},
        nlohmann::json{{"setupCode", service.issueSetupCode("family-2", 600)}, {"deviceId", "device-a"}}.dump()});
    EXPECT_EQ(takeover.status, 409) << "another family's device is not taken over by knowing its identifier";
    const auto ask = [&](const std::string& device) {
        service.recordFrame(device, R"({"type":"access_request","payload":{"url":"games.example","title":"Games"}})");
    };
    ask("device-a");
    ask("device-b");

    const auto pending = service.pendingRequests("family-1");
    ASSERT_EQ(pending.size(), 1U);
    EXPECT_EQ(pending[0].deviceId, "device-a");
    EXPECT_EQ(pending[0].title, "Games");
    EXPECT_FALSE(service.answerRequest("family-1", "device-b", "games.example", {true, std::nullopt}));
    EXPECT_FALSE(service.answerRequest("family-1", "device-a", "other.example", {true, std::nullopt}));
    EXPECT_TRUE(service.answerRequest("family-1", "device-a", "games.example", {true, 1'900'000'000}));
    EXPECT_TRUE(service.pendingRequests("family-1").empty());
    EXPECT_FALSE(service.answerRequest("family-1", "device-a", "games.example", {false, std::nullopt}))
        << "answered once";
    EXPECT_EQ(service.devices()["device-a"]["rules"]["grants"], nlohmann::json::parse(R"([{"url":"games.example","expiry":1900000000}])"));
    service.grantAccess("device-a", "old.example", 1'000'000'000);
    service.grantAccess("device-a", "games.example", std::nullopt);
    service.grantAccess("device-a", "music.example", 1'900'000'000);
    EXPECT_EQ(service.devices()["device-a"]["rules"]["grants"],
              nlohmann::json::parse(R"([{"url":"games.example"},{"url":"music.example","expiry":1900000000}])"))
        << "an expired grant and an earlier one for the same site give way";

    service.recordFrame("device-a", R"({"type":"activity","payload":{"events":[{"type":"app_launch","ts":1,
        "bundleId":"org.gnome.Mines","appName":"Mines"}]}})");
    service.recordFrame("device-a", R"({"type":"blocked_app_launch","payload":{"bundleId":"org.example.Game","appName":"Game"}})");
    const auto rules = service.rulesOf("family-1", "device-a");
    ASSERT_TRUE(rules);
    EXPECT_EQ(rules->applications, (std::map<std::string, std::string>{{"org.example.Game", "Game"}, {"org.gnome.Mines", "Mines"}}));
    EXPECT_FALSE(service.rulesOf("family-1", "device-b"));
    EXPECT_FALSE(service.saveRules("family-1", "device-b", {{"mode", "deny"}}));
    EXPECT_TRUE(service.saveRules("family-1", "device-a", {{"mode", "deny"}, {"blockedSites", nlohmann::json::array()}}));
    EXPECT_EQ(service.devices()["device-a"]["rules"]["mode"], "deny");
    EXPECT_EQ(service.devices()["device-a"]["rules"]["grants"].size(), 2U) << "the grants stay";
    const auto heartbeat = [&](std::vector<std::pair<std::string, std::string>> headers) {
        headers.insert(headers.end(), {{"X-Device-Id", "device-a"}, {"Authorization", "Bearer " + tokenA}});
        EXPECT_EQ(service.handle({"POST", "/api/heartbeat", headers, "{}"}).status, 200);
    };
    heartbeat({{"X-App-Version", "1.3.0"}, {"X-App-Error", "rules file edited"}});
    heartbeat({{"X-App-Version", "1.4.0"}});
    service.recordFrame("device-a", R"({"type":"access_request","payload":{"url":"videos.example","title":"Videos"}})");
    {
        server::FamilyService restarted(std::move(server::SqliteFamilyStore::open(file)).value());
        const auto waiting = restarted.pendingRequests("family-1");
        ASSERT_EQ(waiting.size(), 1U);
        EXPECT_EQ(waiting[0].url, "videos.example");
        EXPECT_EQ(restarted.rulesOf("family-1", "device-a")->applications.size(), 2U);
        EXPECT_EQ(restarted.devicesOf("family-1").at(0).version, "1.4.0");
        EXPECT_EQ(restarted.devicesOf("family-1").at(0).problem, "rules file edited") << "kept until another is reported";
    }

    EXPECT_FALSE(service.removeDevice("family-1", "device-b"));
    EXPECT_FALSE(service.devices()["device-b"].value("deleted", false));
    EXPECT_EQ(service.devicesOf("family-2").size(), 1U);
    EXPECT_TRUE(service.removeDevice("family-1", "device-a"));
    EXPECT_TRUE(service.devicesOf("family-1").empty());
    EXPECT_FALSE(service.removeDevice("family-1", "device-a")) << "removed once";
}

}  // namespace
}  // namespace tessary
