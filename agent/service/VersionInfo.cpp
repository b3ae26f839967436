#include "agent/service/VersionInfo.h"

namespace tessary {

VersionInfo VersionInfo::read(const JsonFields& fields)
{
    return VersionInfo{fields.requiredString("version"), fields.requiredString("build")};
}

nlohmann::json VersionInfo::toJson() const
{
    return nlohmann::json{{"version", version}, {"build", build}};
}

}  // namespace tessary
