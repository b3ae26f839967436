#include "agent/service/HeartbeatResponse.h"

namespace tessary {

HeartbeatResponse HeartbeatResponse::read(const JsonFields& fields)
{
    HeartbeatResponse response;
    response.ok = fields.requiredBool("ok");
    response.updateAvailable = fields.requiredBool("updateAvailable");
    response.latestVersion = fields.optionalString("latestVersion");
    response.downloadUrl = fields.optionalString("downloadUrl");
    return response;
}

nlohmann::json HeartbeatResponse::toJson() const
{
    nlohmann::json object{{"ok", ok}, {"updateAvailable", updateAvailable}};
    if (latestVersion)
        object["latestVersion"] = *latestVersion;
    if (downloadUrl)
        object["downloadUrl"] = *downloadUrl;
    return object;
}

}  // namespace tessary
