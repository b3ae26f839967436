#include "server/dashboard/ActivityTimeline.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace tessary::server {

namespace {

std::string text(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::int64_t timeOf(const nlohmann::json& object, std::int64_t fallback)
{
    const auto found = object.find("ts");
    return found != object.end() && found->is_number_integer() ? found->get<std::int64_t>() : fallback;
}

// The host of a visited address, lower-cased; the address itself when it has none.
std::string hostOf(const std::string& url)
{
    const auto scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    auto host = url.substr(scheme + 3, url.find_first_of("/?#", scheme + 3) - (scheme + 3));
    if (const auto user = host.rfind('@'); user != std::string::npos)
        host.erase(0, user + 1);
    if (const auto port = host.rfind(':'); port != std::string::npos && host.find(']') == std::string::npos)
        host.erase(port);
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host.empty() ? url : host;
}

void add(std::vector<TimelineEntry>& entries, const nlohmann::json& event, std::int64_t arrived)
{
    if (!event.is_object())
        return;
    const auto type = text(event, "type");
    const auto at = timeOf(event, arrived);
    if (type == "site_visit" && !text(event, "url").empty())
        entries.push_back({at, TimelineEntry::Kind::site, text(event, "url"), {}});
    else if ((type == "app_launch" || type == "app_terminate") && !text(event, "bundleId").empty())
        entries.push_back({at, type == "app_launch" ? TimelineEntry::Kind::launch : TimelineEntry::Kind::quit,
                           text(event, "appName").empty() ? text(event, "bundleId") : text(event, "appName"),
                           text(event, "bundleId")});
}

}  // namespace

std::vector<TimelineEntry> ActivityTimeline::entries(const std::vector<StoredReport>& reports, std::int64_t dayStart,
                                                     std::int64_t dayEnd)
{
    std::vector<TimelineEntry> entries;
    for (const auto& report : reports) {
        const auto frame = nlohmann::json::parse(report.frame, nullptr, false);
        if (frame.is_discarded() || !frame.is_object() || !frame.contains("payload") || !frame["payload"].is_object())
            continue;
        const auto& payload = frame["payload"];
        if (report.type == "activity") {
            if (const auto events = payload.find("events"); events != payload.end() && events->is_array())
                for (const auto& event : *events)
                    add(entries, event, report.at);
        } else if (report.type == "blocked_app_launch" && !text(payload, "bundleId").empty()) {
            entries.push_back({report.at, TimelineEntry::Kind::blocked,
                               text(payload, "appName").empty() ? text(payload, "bundleId") : text(payload, "appName"),
                               text(payload, "bundleId")});
        } else if (report.type == "access_request" && !text(payload, "url").empty()) {
            entries.push_back({report.at, TimelineEntry::Kind::request, text(payload, "url"), text(payload, "title")});
        }
    }
    std::erase_if(entries, [&](const TimelineEntry& entry) { return entry.at < dayStart || entry.at >= dayEnd; });
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
    return entries;
}

DaySummary ActivityTimeline::summary(const std::vector<TimelineEntry>& entries, std::int64_t until)
{
    DaySummary summary;
    std::map<std::string, std::size_t> visits;
    struct Use {
        std::string name;
        int running = 0;
        std::int64_t since = 0;
        std::int64_t total = 0;
    };
    std::map<std::string, Use> uses;
    for (const auto& entry : entries) {
        switch (entry.kind) {
        case TimelineEntry::Kind::site: {
            ++summary.sitesVisited;
            ++visits[hostOf(entry.label)];
            break;
        }
        case TimelineEntry::Kind::launch: {
            auto& use = uses[entry.detail];
            use.name = entry.label;
            if (use.running++ == 0)
                use.since = entry.at;
            break;
        }
        case TimelineEntry::Kind::quit: {
            auto& use = uses[entry.detail];
            if (use.name.empty())
                use.name = entry.label;
            if (use.running > 0 && --use.running == 0)
                use.total += entry.at - use.since;
            break;
        }
        case TimelineEntry::Kind::blocked: ++summary.blockedLaunches; break;
        case TimelineEntry::Kind::request: ++summary.requests; break;
        }
    }
    for (const auto& [host, count] : visits)
        summary.topSites.emplace_back(host, count);
    std::stable_sort(summary.topSites.begin(), summary.topSites.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (summary.topSites.size() > 10)
        summary.topSites.resize(10);
    for (auto& [id, use] : uses) {
        if (use.running > 0)
            use.total += std::max<std::int64_t>(0, until - use.since);
        if (use.total > 0)
            summary.applicationTime.emplace_back(use.name, use.total);
    }
    std::stable_sort(summary.applicationTime.begin(), summary.applicationTime.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return summary;
}

}  // namespace tessary::server
