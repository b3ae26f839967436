#include "agent/service/GrantPayload.h"

namespace tessary {

GrantPayload GrantPayload::read(const JsonFields& fields)
{
    return GrantPayload{fields.requiredString("url"), fields.optionalInt("expiry")};
}

nlohmann::json GrantPayload::toJson() const
{
    nlohmann::json object{{"url", url}};
    if (expiry)
        object["expiry"] = *expiry;
    return object;
}

}  // namespace tessary
