#include "platform/linux/AutostartLoginItem.h"

#include "platform/linux/AtomicFile.h"
#include "platform/linux/DesktopExec.h"

namespace tessary {

AutostartLoginItem::AutostartLoginItem(const Paths& paths, std::filesystem::path executable)
    : entryPath_(paths.configHome / "autostart" / kEntryName),
      systemWideEntryPath_(paths.systemConfigDir / "autostart" / kEntryName),
      executable_(std::move(executable))
{
}

std::string AutostartLoginItem::entryContent(const std::filesystem::path& executable)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tessary\n"
           "Comment=Keeps this computer's family rules in force\n"
           "Exec=" +
           DesktopExec::quote(executable.string()) +
           "\n"
           "Icon=app.brenmoor.tessary\n"
           "Terminal=false\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::optional<Error> AutostartLoginItem::registerAgent()
{
    const auto content = entryContent(executable_);
    if (AtomicFile::read(entryPath_) == content)
        return std::nullopt;
    return AtomicFile::write(entryPath_, content, 0644);
}

bool AutostartLoginItem::isSystemWide()
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(systemWideEntryPath_, ignored));
}

}  // namespace tessary
