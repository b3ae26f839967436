#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tessary {

// One browser event taken from the shared store's queue, as the agent forwards it: a page visit
// or a request for access to a blocked page. Anything else in the queue is not an entry.
struct SafariEventEntry {
    enum class Type { urlVisit, accessRequest };

    Type type;
    std::string url;
    // Visits only: the time the browser component stored; absent when missing or not an integer.
    std::optional<std::int64_t> ts;
    // Access requests only: absent when missing or not text.
    std::optional<std::string> title;

    // Absent for an entry without a known "type" or without a text "url".
    static std::optional<SafariEventEntry> read(const nlohmann::json& event);

    // The "site_visit" activity event for a visit, stamped `now` when the browser gave no time.
    nlohmann::json siteVisit(std::int64_t now) const;
};

}  // namespace tessary
