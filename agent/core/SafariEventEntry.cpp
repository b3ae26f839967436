#include "agent/core/SafariEventEntry.h"

#include "agent/service/JsonFields.h"

namespace tessary {

namespace {

std::optional<std::string> text(const nlohmann::json& event, const char* key)
{
    const auto field = event.find(key);
    if (field == event.end() || !field->is_string())
        return std::nullopt;
    return field->get<std::string>();
}

}  // namespace

std::optional<SafariEventEntry> SafariEventEntry::read(const nlohmann::json& event)
{
    if (!event.is_object() || event.empty())
        return std::nullopt;
    const auto type = text(event, "type");
    if (!type)
        return std::nullopt;
    SafariEventEntry entry{Type::urlVisit, {}, std::nullopt, std::nullopt};
    if (*type == "url_visit")
        entry.type = Type::urlVisit;
    else if (*type == "access_request")
        entry.type = Type::accessRequest;
    else
        return std::nullopt;

    auto url = text(event, "url");
    if (!url)
        return std::nullopt;
    entry.url = std::move(*url);
    if (entry.type == Type::urlVisit) {
        if (const auto ts = event.find("ts"); ts != event.end())
            entry.ts = JsonFields::exactInt64(*ts);
    } else {
        entry.title = text(event, "title");
    }
    return entry;
}

nlohmann::json SafariEventEntry::siteVisit(std::int64_t now) const
{
    return {{"type", "site_visit"}, {"url", url}, {"ts", ts.value_or(now)}};
}

}  // namespace tessary
