#include <gtest/gtest.h>

#include "platform/linux/ApplicationUnitName.h"

namespace tessary {
namespace {

struct UnitRow {
    const char* name;
    const char* unit;
    std::optional<std::string> id;
};

TEST(ApplicationUnitNameTest, UnitNamesYieldTheApplicationId)
{
    const std::vector<UnitRow> rows = {
        {"GNOME scope", "app-gnome-org.gnome.Terminal-4242.scope", "org.gnome.Terminal"},
        {"GNOME scope with an escaped dash", "app-gnome-firefox\\x2desr-3153.scope", "firefox-esr"},
        {"escape with upper-case hex", "app-gnome-google\\x2Dchrome-77.scope", "google-chrome"},
        {"several escapes", "app-gnome-a\\x2db\\x2dc-1.scope", "a-b-c"},
        {"KDE template service", "app-org.kde.konsole@0b5ba7d0c4f94b6a9d38e1f1dcf0a9f5.service", "org.kde.konsole"},
        {"KDE with a launcher part", "app-kde-org.kde.dolphin@c0ffee.service", "org.kde.dolphin"},
        {"KDE escaped dash", "app-org.kde.kate\\x2dnew@1.service", "org.kde.kate-new"},
        {"Flatpak scope", "app-flatpak-org.mozilla.firefox-12345.scope", "org.mozilla.firefox"},
        {"launcher, ID and random part on a service", "app-gnome-org.gnome.Calculator-1c2d3e.service",
         "org.gnome.Calculator"},
        {"plain application service", "app-org.example.Tool.service", "org.example.Tool"},
        {"scope without launcher", "app-org.example.Tool-77.scope", "org.example.Tool"},
        {"malformed escape kept as written", "app-gnome-odd\\x2-5.scope", "odd\\x2"},
        {"session scope", "session-2.scope", std::nullopt},
        {"the slice itself", "app.slice", std::nullopt},
        {"an application's sub-slice", "app-org.gnome.Terminal.slice", std::nullopt},
        {"terminal tab scope", "vte-spawn-0d3a2c.scope", std::nullopt},
        {"D-Bus activated service", "dbus-:1.2-org.gnome.Nautilus@0.service", std::nullopt},
        {"keep-alive unit", "app.brenmoor.tessary.keepalive.service", std::nullopt},
        {"empty ID", "app-gnome--12.scope", std::nullopt},
        {"empty random part", "app-gnome-editor-.scope", std::nullopt},
        {"too many parts", "app-gnome-some-thing-12.scope", std::nullopt},
        {"scope without random part", "app-editor.scope", std::nullopt},
        {"template instance on a scope", "app-editor@1.scope", std::nullopt},
        {"empty template instance", "app-editor@.service", std::nullopt},
        {"other unit type", "app-gnome-editor-1.mount", std::nullopt},
        {"prefix only", "app-.service", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ApplicationUnitName::applicationId(row.unit), row.id) << row.name;
}

TEST(ApplicationUnitNameTest, OnlyUnitsInTheUsersAppSliceCount)
{
    const std::vector<UnitRow> rows = {
        {"unit in app.slice", "/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-gedit-1.scope", "gedit"},
        {"unit in an application sub-slice",
         "/user.slice/user-1000.slice/user@1000.service/app.slice/app-org.gnome.Terminal.slice/"
         "app-gnome-org.gnome.Terminal-9.scope",
         "org.gnome.Terminal"},
        {"terminal tab in a sub-slice",
         "/user.slice/user-1000.slice/user@1000.service/app.slice/app-org.gnome.Terminal.slice/vte-spawn-1.scope",
         std::nullopt},
        {"login session scope", "/user.slice/user-1000.slice/session-2.scope", std::nullopt},
        {"session infrastructure slice",
         "/user.slice/user-1000.slice/user@1000.service/session.slice/app-gnome-x-1.scope", std::nullopt},
        {"look-alike slice name", "/user.slice/user-1000.slice/user@1000.service/app.slicer/app-gnome-x-1.scope",
         std::nullopt},
        {"root cgroup", "/", std::nullopt},
        {"no cgroup", "", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ApplicationUnitName::fromCgroupPath(row.unit), row.id) << row.name;
}

TEST(ApplicationUnitNameTest, DBusActivationUnitsYieldTheBusName)
{
    const std::vector<UnitRow> rows = {
        {"portal", "dbus-:1.2-org.freedesktop.portal.Desktop@0.service", "org.freedesktop.portal.Desktop"},
        {"DBusActivatable application", "dbus-:1.42-org.gnome.Nautilus@3.service", "org.gnome.Nautilus"},
        {"escaped dash in the name", "dbus-:1.2-org.example.my\\x2dapp@0.service", "org.example.my-app"},
        {"the bus itself", "dbus.service", std::nullopt},
        {"dbus-broker", "dbus-broker.service", std::nullopt},
        {"no instance", "dbus-:1.2-org.example.App.service", std::nullopt},
        {"empty name", "dbus-:1.2-@0.service", std::nullopt},
        {"scope", "dbus-:1.2-org.example.App@0.scope", std::nullopt},
        {"application unit", "app-gnome-org.example.App-1.scope", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ApplicationUnitName::dbusActivatedName(row.unit), row.id) << row.name;
}

}  // namespace
}  // namespace tessary
