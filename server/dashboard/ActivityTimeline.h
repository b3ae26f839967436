#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/storage/FamilyStore.h"

namespace tessary::server {

// One thing a device reported, placed in time.
struct TimelineEntry {
    enum class Kind { site, launch, quit, blocked, request };

    // When it happened on the device (a report's own time; when it arrived, for those without one).
    std::int64_t at = 0;
    Kind kind = Kind::site;
    // The address, or the application's name.
    std::string label;
    // The application's identifier, or the requested page's title.
    std::string detail;
};

// What a day came to.
struct DaySummary {
    std::size_t sitesVisited = 0;
    // The most visited hosts, most first, at most ten.
    std::vector<std::pair<std::string, std::size_t>> topSites;
    // Each application's time in use in seconds, longest first.
    std::vector<std::pair<std::string, std::int64_t>> applicationTime;
    std::size_t blockedLaunches = 0;
    std::size_t requests = 0;
};

// A device's reports as a day's timeline: visits ("site_visit"), launches and ends ("app_launch",
// "app_terminate") from its activity frames, blocked launches and requests. A report that is not
// one of these, or not well formed, is left out.
class ActivityTimeline {
public:
    // The entries in [dayStart, dayEnd), oldest first.
    static std::vector<TimelineEntry> entries(const std::vector<StoredReport>& reports, std::int64_t dayStart,
                                              std::int64_t dayEnd);
    // An application is in use from its first launch until its last instance ends; one still
    // running is counted until `until`.
    static DaySummary summary(const std::vector<TimelineEntry>& entries, std::int64_t until);
};

}  // namespace tessary::server
