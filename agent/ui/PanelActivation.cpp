#include "agent/ui/PanelActivation.h"

#include <cstdlib>

#include "platform/linux/DatagramNotificationPoster.h"

namespace tessary {

namespace {

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// systemd marks the processes it starts; the desktop session marks its autostart launches.
bool startedBySession()
{
    return isSet("INVOCATION_ID") || isSet("DESKTOP_AUTOSTART_ID");
}

}  // namespace

PanelActivation::PanelActivation(std::filesystem::path socketPath, std::shared_ptr<MainQueue> mainQueue)
    : listener_(std::move(socketPath), std::move(mainQueue), "panel requests")
{
}

bool PanelActivation::listen(std::function<void()> onShowRequested)
{
    return !listener_.start(std::move(onShowRequested));
}

void PanelActivation::requestShow(const std::filesystem::path& socketPath)
{
    if (!startedBySession())
        DatagramNotificationPoster(socketPath).post();
}

}  // namespace tessary
