#include "agent/service/ActivityEvent.h"

namespace tessary {

ActivityEvent ActivityEvent::read(const JsonFields& fields)
{
    ActivityEvent event;
    event.type = fields.requiredString("type");
    event.domain = fields.optionalString("domain");
    event.url = fields.optionalString("url");
    event.appName = fields.optionalString("appName");
    event.bundleId = fields.optionalString("bundleId");
    event.ts = fields.requiredInt("ts");
    return event;
}

nlohmann::json ActivityEvent::toJson() const
{
    nlohmann::json object{{"type", type}, {"ts", ts}};
    if (domain)
        object["domain"] = *domain;
    if (url)
        object["url"] = *url;
    if (appName)
        object["appName"] = *appName;
    if (bundleId)
        object["bundleId"] = *bundleId;
    return object;
}

}  // namespace tessary
