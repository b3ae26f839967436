#include "server/dashboard/Dashboard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <set>
#include <sstream>

#include "platform/HexDigit.h"
#include "server/dashboard/ActivityTimeline.h"
#include "server/dashboard/PasswordHash.h"

namespace tessary::server {

namespace {

constexpr const char* kSessionCookie = "tessary_session";
// The sign-in page's own token, sent back by the form beside the cookie (a page another site
// made cannot read the cookie, so cannot sign a parent in to an account of its choosing).
constexpr const char* kSignInCookie = "tessary_sign_in";
constexpr std::size_t kLongestName = 200;
constexpr std::size_t kLongestPassword = 1024;

std::string escaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// application/x-www-form-urlencoded; absent when malformed.
std::optional<std::multimap<std::string, std::string>> formFields(const std::string& body)
{
    std::multimap<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= body.size() && !body.empty()) {
        const auto end = std::min(body.find('&', start), body.size());
        const auto pair = body.substr(start, end - start);
        const auto equals = pair.find('=');
        std::string decoded[2];
        const std::string parts[2] = {pair.substr(0, equals), equals == std::string::npos ? "" : pair.substr(equals + 1)};
        for (int part = 0; part < 2; ++part) {
            for (std::size_t i = 0; i < parts[part].size(); ++i) {
                const char c = parts[part][i];
                if (c == '+') {
                    decoded[part] += ' ';
                } else if (c == '%') {
                    if (i + 2 >= parts[part].size())
                        return std::nullopt;
                    const int high = hexDigitValue(parts[part][i + 1]);
                    const int low = hexDigitValue(parts[part][i + 2]);
                    if (high < 0 || low < 0)
                        return std::nullopt;
                    decoded[part] += static_cast<char>(high * 16 + low);
                    i += 2;
                } else {
                    decoded[part] += c;
                }
            }
        }
        fields.emplace(decoded[0], decoded[1]);
        start = end + 1;
    }
    return fields;
}

std::string urlEncoded(const std::string& text)
{
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out;
}

// A site rule as the agent matches it: a host name, optionally "*." before it. Absent when the
// line is not one.
std::optional<std::string> siteRule(std::string line)
{
    line.erase(0, line.find_first_not_of(" \t\r"));
    line.erase(line.find_last_not_of(" \t\r") + 1);
    std::transform(line.begin(), line.end(), line.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto host = line.rfind("*.", 0) == 0 ? line.substr(2) : line;
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.' || host.front() == '-')
        return std::nullopt;
    for (const char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.')
            return std::nullopt;
    return line;
}

std::map<std::string, std::string> cookies(const HttpQuery& query)
{
    std::map<std::string, std::string> found;
    const auto header = query.header("Cookie").value_or("");
    std::size_t start = 0;
    while (start < header.size()) {
        const auto end = std::min(header.find(';', start), header.size());
        auto pair = header.substr(start, end - start);
        pair.erase(0, pair.find_first_not_of(' '));
        if (const auto equals = pair.find('='); equals != std::string::npos)
            found.emplace(pair.substr(0, equals), pair.substr(equals + 1));
        start = end + 1;
    }
    return found;
}

std::string cookie(const char* name, const std::string& value, std::int64_t maxAge)
{
    return std::string(name) + "=" + value + "; Max-Age=" + std::to_string(maxAge) +
           "; Path=/; HttpOnly; Secure; SameSite=Strict";
}

std::string utcTime(std::int64_t seconds)
{
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

// Every HTML answer, whole page or fragment: its forms must not work framed by another site.
std::vector<std::pair<std::string, std::string>> securityHeaders()
{
    return {{"Content-Security-Policy",
             "default-src 'none'; style-src 'unsafe-inline'; script-src 'self'; connect-src 'self'; "
             "form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"}};
}

HttpAnswer page(int status, const std::string& title, const std::string& content)
{
    HttpAnswer answer;
    answer.status = status;
    answer.contentType = "text/html; charset=utf-8";
    answer.body = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                  "<title>Tessary: " + escaped(title) + "</title><style>"
                  "body{font-family:sans-serif;margin:0;padding:1rem;background:#f5f6f8;color:#1d1f23}"
                  "main{max-width:40rem;margin:auto;background:#fff;padding:1.5rem;border-radius:.5rem}"
                  "label{display:block;margin-top:.8rem}input{font-size:1rem;padding:.4rem;width:100%;box-sizing:border-box}"
                  "button{font-size:1rem;margin-top:1rem;padding:.5rem 1rem}table{width:100%;border-collapse:collapse}"
                  "th,td{text-align:left;padding:.4rem;border-bottom:1px solid #ddd}.notice{font-weight:bold}"
                  "</style></head><body><main>" + content + "</main></body></html>\n";
    answer.headers = securityHeaders();
    return answer;
}

// Keeps the requests and devices shown up to date without a reload: the page works without it.
constexpr const char* kLiveScript = R"js("use strict";
(function () {
  const live = document.getElementById("live");
  if (!live || !window.fetch) return;
  let pressing = false;
  live.addEventListener("pointerdown", () => { pressing = true; });
  document.addEventListener("pointerup", () => { pressing = false; });
  async function refresh() {
    try {
      const reply = await fetch("/family/live", { credentials: "same-origin", cache: "no-store" });
      if (reply.status === 401) return;
      // Parsed inert, and compared as this browser writes both out: only a real change is shown.
      const incoming = document.createElement("template");
      incoming.innerHTML = reply.ok ? await reply.text() : live.innerHTML;
      // Never swapped under a parent's hand: a control in use keeps its place until it is let go.
      if (incoming.innerHTML !== live.innerHTML && !pressing && !live.contains(document.activeElement))
        live.replaceChildren(incoming.content);
    } catch (error) {
      // Offline for a moment: the next round tries again.
    }
    setTimeout(refresh, 3000);
  }
  setTimeout(refresh, 3000);
})();
)js";

HttpAnswer seeOther(const std::string& location)
{
    HttpAnswer answer;
    answer.status = 303;
    answer.contentType = "text/plain";
    answer.location = location;
    return answer;
}

// Compared in the same time whatever the first differing byte.
bool sameToken(const std::string& a, const std::string& b)
{
    if (a.empty() || a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// Checked against when no parent has the name, so a wrong name takes as long as a wrong password.
const std::string& unknownNameHash()
{
    static const std::string hash = PasswordHash::of(PasswordHash::randomHex(16)).value_or("");
    return hash;
}

}  // namespace

Dashboard::Dashboard(std::shared_ptr<FamilyStore> store, FamilyDirectory& directory, Clock now)
    : store_(std::move(store)), directory_(directory), now_(std::move(now))
{
}

bool Dashboard::serves(const std::string& path)
{
    return path == "/" || path == "/sign-in" || path == "/sign-out" || path == "/family/setup-code" ||
           path == "/family/answer" || path == "/family/remove" || path == "/family/rules" ||
           path == "/family/activity" || path == "/family/live" || path == "/dashboard.js";
}

const Dashboard::Session* Dashboard::sessionOf(const HttpQuery& query)
{
    const auto now = now_();
    for (auto session = sessions_.begin(); session != sessions_.end();)
        session = session->second.expiresAt <= now ? sessions_.erase(session) : std::next(session);
    const auto token = cookies(query)[kSessionCookie];
    if (token.empty())
        return nullptr;
    const auto found = sessions_.find(PasswordHash::digestHex(token));
    return found == sessions_.end() ? nullptr : &found->second;
}

HttpAnswer Dashboard::handle(const HttpQuery& query, const std::string& path)
{
    if (path == "/sign-in" && query.method == "POST")
        return signIn(query);
    if (path == "/dashboard.js" && query.method == "GET") {
        HttpAnswer script{200, "text/javascript; charset=utf-8", kLiveScript};
        script.headers = {{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-cache"}};
        return script;
    }
    std::unique_lock lock(mutex_);
    const auto* session = sessionOf(query);
    if (path == "/family/live" && query.method == "GET") {
        if (!session)
            return HttpAnswer{401, "text/plain; charset=utf-8", "Signed out"};
        const auto sessionCopy = *session;
        lock.unlock();
        HttpAnswer fragment{200, "text/html; charset=utf-8", liveSection(sessionCopy)};
        fragment.headers = securityHeaders();
        return fragment;
    }
    if (path == "/" && query.method == "GET") {
        if (session)
            return familyPage(*session, "");
        lock.unlock();
        return signInPage(200, "");
    }
    if ((path == "/family/rules" || path == "/family/activity") && query.method == "GET") {
        if (!session)
            return seeOther("/");
        const auto sessionCopy = *session;
        lock.unlock();
        const auto queryString = query.target.find('?') == std::string::npos ? std::string()
                                                                             : query.target.substr(query.target.find('?') + 1);
        const auto fields = formFields(queryString).value_or(std::multimap<std::string, std::string>());
        if (path == "/family/activity")
            return activityPage(sessionCopy, fields);
        return rulesPage(sessionCopy, fields.count("device") ? fields.find("device")->second : std::string(), "");
    }
    if (query.method != "POST")
        return page(405, "Not here", "<h1>Not here</h1><p><a href=\"/\">Open the dashboard</a></p>");
    if (!session)
        return seeOther("/");
    const auto form = formFields(query.body);
    if (!form || !sameToken(form->count("form") ? form->find("form")->second : "", session->formToken))
        return page(403, "Expired form", "<h1>This form has expired</h1><p><a href=\"/\">Open the dashboard again</a></p>");
    if (path == "/sign-out") {
        sessions_.erase(PasswordHash::digestHex(cookies(query)[kSessionCookie]));
        auto answer = seeOther("/");
        answer.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, "", 0));
        return answer;
    }
    const auto sessionCopy = *session;
    lock.unlock();
    return familyAction(sessionCopy, path, *form);
}

HttpAnswer Dashboard::familyAction(const Session& session, const std::string& path,
                                   const std::multimap<std::string, std::string>& form)
{
    const auto field = [&](const char* name) { return form.count(name) ? form.find(name)->second : std::string(); };
    if (path == "/family/rules")
        return saveRules(session, form);
    if (path == "/family/setup-code") {
        const auto code = directory_.issueSetupCode(session.familyId, kSetupCodeLifetime);
        return familyPage(session, "Setup code: " + code + " (valid for 10 minutes)");
    }
    if (path == "/family/remove") {
        if (!directory_.removeDevice(session.familyId, field("device")))
            return familyPage(session, "That device is not one of this family's.");
        return familyPage(session, "The device was removed; it shows its setup wizard again.");
    }
    const auto answer = field("answer");
    const auto now = now_();
    RequestAnswer reply;
    if (answer == "15m" || answer == "1h") {
        reply = {true, now + (answer == "15m" ? 15 * 60 : 3600)};
    } else if (answer == "today") {
        const auto time = static_cast<std::time_t>(now);
        std::tm parts{};
        localtime_r(&time, &parts);
        parts.tm_hour = 23;
        parts.tm_min = 59;
        parts.tm_sec = 59;
        reply = {true, static_cast<std::int64_t>(std::mktime(&parts)) + 1};
    } else if (answer == "always") {
        reply = {true, std::nullopt};
    } else if (answer != "deny") {
        return familyPage(session, "Choose how to answer the request.");
    }
    if (!directory_.answerRequest(session.familyId, field("device"), field("url"), reply))
        return familyPage(session, "That request is no longer waiting.");
    return familyPage(session, reply.grant ? "Granted " + field("url") + "." : "Denied " + field("url") + ".");
}

HttpAnswer Dashboard::signInPage(int status, const std::string& message)
{
    const auto formToken = PasswordHash::randomHex(16);
    auto answer = page(status, "Sign in",
                       "<h1>Tessary</h1>" + (message.empty() ? std::string() : "<p class=\"notice\" role=\"alert\">" +
                                                                                 escaped(message) + "</p>") +
                           "<form method=\"post\" action=\"/sign-in\">"
                           "<input type=\"hidden\" name=\"form\" value=\"" + formToken + "\">"
                           "<label for=\"name\">Name</label><input id=\"name\" name=\"name\" autocomplete=\"username\" required>"
                           "<label for=\"password\">Password</label><input id=\"password\" name=\"password\" type=\"password\" "
                           "autocomplete=\"current-password\" required>"
                           "<button type=\"submit\">Sign in</button></form>");
    answer.headers.emplace_back("Set-Cookie", cookie(kSignInCookie, formToken, kSessionLifetime));
    return answer;
}

bool Dashboard::mayTry(const std::string& name)
{
    const auto now = now_();
    if (now - recentFailures_.windowStart >= 60)
        recentFailures_ = {};
    auto& failures = failuresByName_[name];
    if (now - failures.windowStart >= kFailureWindow)
        failures = {};
    return recentFailures_.count < kFailuresPerMinute && failures.count < kFailuresPerName;
}

void Dashboard::countFailure(const std::string& name)
{
    const auto now = now_();
    for (auto* failures : {&recentFailures_, &failuresByName_[name]}) {
        if (failures->count++ == 0)
            failures->windowStart = now;
    }
}

HttpAnswer Dashboard::signIn(const HttpQuery& query)
{
    const auto form = formFields(query.body);
    const auto field = [&](const char* name) { return form && form->count(name) ? form->find(name)->second : std::string(); };
    const auto name = field("name");
    const auto password = field("password");
    if (!form || !sameToken(field("form"), cookies(query)[kSignInCookie]))
        return signInPage(403, "The sign-in page had expired. Please sign in again.");
    if (name.empty() || name.size() > kLongestName || password.size() > kLongestPassword)
        return signInPage(400, "Enter your name and password.");
    {
        const std::lock_guard lock(mutex_);
        if (!mayTry(name))
            return signInPage(429, "Too many attempts. Please wait a few minutes and try again.");
    }
    const auto parent = store_->parent(name);
    if (!parent)
        return signInPage(503, "Signing in is not possible right now. Please try again.");
    bool matches = false;
    if (parent.value())
        matches = PasswordHash::matches(parent.value()->passwordHash, password);
    else
        (void)PasswordHash::matches(unknownNameHash(), password);
    const std::lock_guard lock(mutex_);
    if (!matches) {
        countFailure(name);
        return signInPage(401, "That name and password do not match.");
    }
    failuresByName_.erase(name);
    const auto token = PasswordHash::randomHex(32);
    sessions_[PasswordHash::digestHex(token)] =
        Session{name, parent.value()->familyId, PasswordHash::randomHex(16), now_() + kSessionLifetime};
    auto answer = seeOther("/");
    answer.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, token, kSessionLifetime));
    answer.headers.emplace_back("Set-Cookie", cookie(kSignInCookie, "", 0));
    return answer;
}

HttpAnswer Dashboard::familyPage(const Session& session, const std::string& notice)
{
    const auto formField = "<input type=\"hidden\" name=\"form\" value=\"" + session.formToken + "\">";
    return page(200, "Devices",
                "<h1>Devices</h1>" +
                    (notice.empty() ? std::string() : "<p class=\"notice\" role=\"status\">" + escaped(notice) + "</p>") +
                    "<div id=\"live\" aria-live=\"polite\">" + liveSection(session) + "</div>" +
                    "<form method=\"post\" action=\"/family/setup-code\">" + formField +
                    "<button type=\"submit\">New setup code</button></form>"
                    "<form method=\"post\" action=\"/sign-out\">" + formField +
                    "<button type=\"submit\">Sign out</button></form><script src=\"/dashboard.js\"></script>");
}

std::string Dashboard::liveSection(const Session& session)
{
    const auto formField = "<input type=\"hidden\" name=\"form\" value=\"" + session.formToken + "\">";
    std::string requests;
    for (const auto& request : directory_.pendingRequests(session.familyId)) {
        const auto device = escaped(request.deviceName.empty() ? request.deviceId : request.deviceName);
        requests += "<li><form method=\"post\" action=\"/family/answer\">" + formField +
                    "<input type=\"hidden\" name=\"device\" value=\"" + escaped(request.deviceId) + "\">"
                    "<input type=\"hidden\" name=\"url\" value=\"" + escaped(request.url) + "\"><p>" + device +
                    " asks for <strong>" + escaped(request.url) + "</strong>" +
                    (request.title.empty() ? std::string() : " (" + escaped(request.title) + ")") + " at " +
                    utcTime(request.at) + "</p>"
                    "<button name=\"answer\" value=\"15m\">Grant for 15 minutes</button> "
                    "<button name=\"answer\" value=\"1h\">Grant for 1 hour</button> "
                    "<button name=\"answer\" value=\"today\">Grant for today</button> "
                    "<button name=\"answer\" value=\"always\">Grant always</button> "
                    "<button name=\"answer\" value=\"deny\">Deny</button></form></li>";
    }
    std::string rows;
    for (const auto& device : directory_.devicesOf(session.familyId)) {
        const auto seen = device.online ? std::string("Online")
                          : device.lastSeen ? "Last seen " + utcTime(*device.lastSeen)
                                            : std::string("Not seen yet");
        const auto name = escaped(device.name.empty() ? device.id : device.name);
        rows += "<tr><td>" + name + "<br><a href=\"/family/rules?device=" + urlEncoded(device.id) +
                "\">Rules</a> <a href=\"/family/activity?device=" + urlEncoded(device.id) + "\">Activity</a></td><td>" +
                seen + (device.problem.empty() ? std::string() : "<br><strong>Reported: " + escaped(device.problem) + "</strong>") +
                "</td><td>" + escaped(device.version) +
                "</td><td><form method=\"post\" action=\"/family/remove\">" + formField +
                "<input type=\"hidden\" name=\"device\" value=\"" + escaped(device.id) +
                "\"><button type=\"submit\">Remove " + name + "</button></form></td></tr>";
    }
    return (requests.empty() ? std::string() : "<h2>Requests</h2><ul>" + requests + "</ul>") +
           (rows.empty() ? std::string("<p>No device is set up yet.</p>")
                         : "<table><thead><tr><th scope=\"col\">Device</th><th scope=\"col\">Status</th>"
                           "<th scope=\"col\">Version</th><th scope=\"col\">Pairing</th></tr></thead><tbody>" +
                               rows + "</tbody></table>");
}

HttpAnswer Dashboard::rulesPage(const Session& session, const std::string& deviceId, const std::string& notice)
{
    const auto device = directory_.rulesOf(session.familyId, deviceId);
    if (!device)
        return familyPage(session, "That device is not one of this family's.");
    const auto& rules = device->rules;
    const auto strings = [&](const char* key) {
        std::set<std::string> values;
        if (const auto list = rules.find(key); list != rules.end() && list->is_array())
            for (const auto& value : *list)
                if (value.is_string())
                    values.insert(value.get<std::string>());
        return values;
    };
    const auto lines = [&](const char* key) {
        std::string text;
        for (const auto& value : strings(key))
            text += escaped(value) + "\n";
        return text;
    };
    auto applications = device->applications;
    for (const auto* key : {"blockedApps", "approvedApps"})
        for (const auto& id : strings(key))
            applications.emplace(id, id);
    const auto choices = [&](const char* key, const char* legend) {
        const auto chosen = strings(key);
        std::string html = "<fieldset><legend>" + std::string(legend) + "</legend>";
        if (applications.empty())
            html += "<p>No application reported yet.</p>";
        int index = 0;
        for (const auto& [id, name] : applications) {
            const auto input = std::string(key) + "-" + std::to_string(index++);
            html += "<div><input type=\"checkbox\" id=\"" + input + "\" name=\"" + key + "\" value=\"" + escaped(id) + "\"" +
                    (chosen.count(id) ? " checked" : "") + "><label for=\"" + input + "\" style=\"display:inline\">" +
                    escaped(name) + " (" + escaped(id) + ")</label></div>";
        }
        return html + "</fieldset>";
    };
    const bool deny = rules.value("mode", "allow") == "deny";
    const auto name = escaped(device->deviceName.empty() ? deviceId : device->deviceName);
    return page(200, "Rules",
                "<p><a href=\"/\">Devices</a></p><h1>Rules for " + name + "</h1>" +
                    (notice.empty() ? std::string() : "<p class=\"notice\" role=\"status\">" + escaped(notice) + "</p>") +
                    "<form method=\"post\" action=\"/family/rules\">"
                    "<input type=\"hidden\" name=\"form\" value=\"" + session.formToken + "\">"
                    "<input type=\"hidden\" name=\"device\" value=\"" + escaped(deviceId) + "\">"
                    "<fieldset><legend>Mode</legend>"
                    "<div><input type=\"radio\" id=\"mode-allow\" name=\"mode\" value=\"allow\"" + (deny ? "" : " checked") +
                    "><label for=\"mode-allow\" style=\"display:inline\">Allow everything but what is blocked</label></div>"
                    "<div><input type=\"radio\" id=\"mode-deny\" name=\"mode\" value=\"deny\"" + (deny ? " checked" : "") +
                    "><label for=\"mode-deny\" style=\"display:inline\">Block everything but what is approved</label></div>"
                    "</fieldset>"
                    "<label for=\"blockedSites\">Blocked sites, one per line</label>"
                    "<textarea id=\"blockedSites\" name=\"blockedSites\" rows=\"5\" style=\"width:100%\">" + lines("blockedSites") +
                    "</textarea>"
                    "<label for=\"approvedSites\">Approved sites, one per line</label>"
                    "<textarea id=\"approvedSites\" name=\"approvedSites\" rows=\"5\" style=\"width:100%\">" +
                    lines("approvedSites") + "</textarea>" + choices("blockedApps", "Blocked applications") +
                    choices("approvedApps", "Approved applications") +
                    "<button type=\"submit\">Save and send to " + name + "</button></form>");
}

HttpAnswer Dashboard::saveRules(const Session& session, const std::multimap<std::string, std::string>& form)
{
    constexpr std::size_t kMostEntries = 10'000;
    const auto field = [&](const char* name) { return form.count(name) ? form.find(name)->second : std::string(); };
    const auto deviceId = field("device");
    const auto mode = field("mode");
    if (mode != "allow" && mode != "deny")
        return rulesPage(session, deviceId, "Choose a mode.");
    nlohmann::json rules = {{"mode", mode}};
    for (const auto* key : {"blockedSites", "approvedSites"}) {
        std::set<std::string> sites;
        std::istringstream text(field(key));
        std::string line;
        while (std::getline(text, line)) {
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            const auto site = siteRule(line);
            if (!site)
                return rulesPage(session, deviceId, "\"" + line.substr(0, 80) + "\" is not a site name; nothing was saved.");
            sites.insert(*site);
        }
        if (sites.size() > kMostEntries)
            return rulesPage(session, deviceId, "At most 10,000 sites per list; nothing was saved.");
        rules[key] = sites;
    }
    for (const auto* key : {"blockedApps", "approvedApps"}) {
        std::set<std::string> applications;
        const auto [first, last] = form.equal_range(key);
        for (auto entry = first; entry != last; ++entry)
            if (!entry->second.empty() && entry->second.size() <= 255)
                applications.insert(entry->second);
        if (applications.size() > kMostEntries)
            return rulesPage(session, deviceId, "Too many applications; nothing was saved.");
        rules[key] = applications;
    }
    if (!directory_.saveRules(session.familyId, deviceId, rules))
        return familyPage(session, "That device is not one of this family's.");
    return rulesPage(session, deviceId, "Saved and sent to the device.");
}

namespace {

// Local midnight of "YYYY-MM-DD" (the server's time zone); absent when it names no day.
std::optional<std::int64_t> dayStarting(const std::string& day)
{
    int year = 0;
    int month = 0;
    int date = 0;
    char end = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &year, &month, &date, &end) != 3 || month < 1 ||
        month > 12 || date < 1 || date > 31 || year < 2000 || year > 9999)
        return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = date;
    parts.tm_isdst = -1;
    const auto start = std::mktime(&parts);
    if (start == -1 || parts.tm_mday != date)
        return std::nullopt;
    return static_cast<std::int64_t>(start);
}

enum class Shown { day, dayWithName, time };

// In the server's time zone.
std::string localText(std::int64_t seconds, Shown shown)
{
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    localtime_r(&time, &parts);
    char text[32];
    switch (shown) {
    case Shown::day: std::strftime(text, sizeof text, "%Y-%m-%d", &parts); break;
    case Shown::dayWithName: std::strftime(text, sizeof text, "%A %Y-%m-%d", &parts); break;
    case Shown::time: std::strftime(text, sizeof text, "%H:%M", &parts); break;
    }
    return text;
}

// The local midnight `days` days after the one at `dayStart`.
std::int64_t dayAfter(std::int64_t dayStart, int days)
{
    const auto time = static_cast<std::time_t>(dayStart);
    std::tm parts{};
    localtime_r(&time, &parts);
    parts.tm_mday += days;
    parts.tm_hour = 0;
    parts.tm_min = 0;
    parts.tm_sec = 0;
    parts.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&parts));
}

std::string duration(std::int64_t seconds)
{
    const auto minutes = (seconds + 59) / 60;
    return minutes >= 60 ? std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min"
                         : std::to_string(minutes) + " min";
}

}  // namespace

HttpAnswer Dashboard::activityPage(const Session& session, const std::multimap<std::string, std::string>& query)
{
    // A visit is kept when it arrives: one made offline may come days later, with the agent's outbox.
    constexpr int kLateDeliveryDays = 7;
    // A day of a very busy device is still one page.
    constexpr std::size_t kMostEntries = 50'000;
    const auto value = [&](const char* name) { return query.count(name) ? query.find(name)->second : std::string(); };
    const auto deviceId = value("device");
    const auto now = now_();
    const auto dayStart = dayStarting(value("day")).value_or(dayAfter(now, 0));
    const auto dayEnd = dayAfter(dayStart, 1);
    const auto device = directory_.reportsOf(session.familyId, deviceId, dayAfter(dayStart, -1),
                                             dayAfter(dayEnd, kLateDeliveryDays));
    if (!device)
        return familyPage(session, "That device is not one of this family's.");
    auto entries = ActivityTimeline::entries(device->reports, dayStart, dayEnd);
    const auto summary = ActivityTimeline::summary(entries, std::min(now, dayEnd));
    const auto show = value("show");
    using Kind = TimelineEntry::Kind;
    const auto shown = [&](Kind kind) {
        return show == "sites"      ? kind == Kind::site
               : show == "apps"     ? kind == Kind::launch || kind == Kind::quit
               : show == "blocked"  ? kind == Kind::blocked
               : show == "requests" ? kind == Kind::request
                                    : true;
    };
    const auto link = [&](std::int64_t day, const std::string& filter) {
        return "/family/activity?device=" + urlEncoded(deviceId) + "&amp;day=" + localText(day, Shown::day) +
               (filter.empty() ? std::string() : "&amp;show=" + filter);
    };
    std::string html = "<p><a href=\"/\">Devices</a></p><h1>Activity of " +
                       escaped(device->deviceName.empty() ? deviceId : device->deviceName) + ", " +
                       localText(dayStart, Shown::dayWithName) + "</h1><p><a href=\"" + link(dayAfter(dayStart, -1), show) +
                       "\">Previous day</a> <a href=\"" + link(dayEnd, show) + "\">Next day</a></p>";
    html += "<h2>Summary</h2><ul><li>" + std::to_string(summary.sitesVisited) + " pages visited</li><li>" +
            std::to_string(summary.blockedLaunches) + " blocked launches</li><li>" + std::to_string(summary.requests) +
            " requests</li></ul>";
    if (!summary.topSites.empty()) {
        html += "<h3>Most visited</h3><ul>";
        for (const auto& [host, count] : summary.topSites)
            html += "<li>" + escaped(host) + ": " + std::to_string(count) + "</li>";
        html += "</ul>";
    }
    if (!summary.applicationTime.empty()) {
        html += "<h3>Applications in use</h3><ul>";
        for (const auto& [name, seconds] : summary.applicationTime)
            html += "<li>" + escaped(name) + ": " + duration(seconds) + "</li>";
        html += "</ul>";
    }
    html += "<h2>Timeline</h2><p>Show: ";
    for (const auto& [filter, label] : std::vector<std::pair<std::string, std::string>>{
             {"", "everything"}, {"sites", "sites"}, {"apps", "applications"}, {"blocked", "blocked"}, {"requests", "requests"}})
        html += filter == show ? "<strong>" + label + "</strong> " : "<a href=\"" + link(dayStart, filter) + "\">" + label + "</a> ";
    html += "</p>";
    std::string rows;
    std::size_t count = 0;
    for (const auto& entry : entries) {
        if (!shown(entry.kind) || count++ >= kMostEntries)
            continue;
        static const char* const kWhat[] = {"Visited", "Opened", "Closed", "Blocked", "Asked for"};
        rows += "<tr><td>" + localText(entry.at, Shown::time) + "</td><td>" + kWhat[static_cast<int>(entry.kind)] +
                "</td><td>" + escaped(entry.label) + "</td><td>" + escaped(entry.detail) + "</td></tr>";
    }
    html += rows.empty() ? std::string("<p>Nothing reported.</p>")
                         : "<table><thead><tr><th scope=\"col\">Time</th><th scope=\"col\">What</th><th scope=\"col\">"
                           "Site or application</th><th scope=\"col\">Detail</th></tr></thead><tbody>" + rows +
                               "</tbody></table>";
    return page(200, "Activity", html);
}

}  // namespace tessary::server
