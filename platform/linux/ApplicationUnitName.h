#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessary {

// The application ID carried by the name of a systemd application unit, as desktop launchers
// name them: GNOME "app-gnome-<ID>-<PID>.scope", KDE "app-<ID>@<UUID>.service", Flatpak
// "app-flatpak-<ID>-<N>.scope" and the general "app[-<launcher>]-<ID>[-<RANDOM>|@<RANDOM>].service".
class ApplicationUnitName {
public:
    // The ID from one unit name, with systemd's \xNN escapes undone; absent for other units.
    static std::optional<std::string> applicationId(std::string_view unitName);
    // The ID of the unit a cgroup path (the "0::" line of /proc/PID/cgroup) places a process in,
    // when that unit lies in the user's app.slice.
    static std::optional<std::string> fromCgroupPath(std::string_view cgroupPath);
    // The well-known bus name of a unit the bus started for D-Bus activation,
    // "dbus-:1.<N>-<NAME>@<N>.service"; absent for other units.
    static std::optional<std::string> dbusActivatedName(std::string_view unitName);
};

}  // namespace tessary
