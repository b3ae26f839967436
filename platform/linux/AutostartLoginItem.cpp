#include "platform/linux/AutostartLoginItem.h"

#include "platform/linux/AtomicFile.h"
#include "platform/linux/DesktopExec.h"

namespace tessary {

AutostartLoginItem::AutostartLoginItem(std::filesystem::path entryFile, std::filesystem::path executable)
    : entryFile_(std::move(entryFile)), executable_(std::move(executable))
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
    if (AtomicFile::read(entryFile_) == content)
        return std::nullopt;
    return AtomicFile::write(entryFile_, content, 0644);
}

}  // namespace tessary
