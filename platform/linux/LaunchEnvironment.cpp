#include "platform/linux/LaunchEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/linux/SystemdKeepAliveUnit.h"

namespace tessary {

namespace {

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// systemd runs the session's autostart entries as "app-<entry>@autostart.service" units. Other
// marks systemd leaves (INVOCATION_ID) are no sign: a terminal run as a user service hands them to
// every shell a person types into.
bool runsInAnAutostartUnit(const std::filesystem::path& ownCgroupFile)
{
    std::ifstream file(ownCgroupFile);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.starts_with("0::"))
            continue;
        const auto unit = std::string_view(line).substr(line.find_last_of('/') + 1);
        return unit.ends_with("@autostart.service");
    }
    return false;
}

}  // namespace

LaunchOrigin LaunchEnvironment::origin(const std::filesystem::path& ownCgroupFile)
{
    const char* launchedBy = std::getenv(SystemdKeepAliveUnit::kLaunchVariable);
    if (launchedBy != nullptr && std::string_view(launchedBy) == SystemdKeepAliveUnit::kLaunchValue)
        return LaunchOrigin::keepAliveAgent;
    if (isSet("DESKTOP_AUTOSTART_ID") || runsInAnAutostartUnit(ownCgroupFile))
        return LaunchOrigin::session;
    return LaunchOrigin::person;
}

}  // namespace tessary
