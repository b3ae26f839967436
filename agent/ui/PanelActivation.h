#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/MainQueue.h"
#include "platform/linux/DatagramNotificationListener.h"

namespace tessary {

// Lets a second copy of the agent (started from its command or its desktop entry) ask the running
// one to show its panel, by a datagram to a socket in the runtime folder (which only its user can
// enter) that only the running agent, the holder of the single-instance lock, binds.
class PanelActivation final {
public:
    static constexpr const char* kSocketName = "app.brenmoor.tessary.panel";

    PanelActivation(std::filesystem::path socketPath, std::shared_ptr<MainQueue> mainQueue);

    // In the running agent, on the main queue. Returns false when the socket cannot be bound.
    bool listen(std::function<void()> onShowRequested);

    // In a second copy: asks the running agent to show its panel, without waiting. Starts made by
    // the session or by systemd (autostart, keep-alive restarts) ask for nothing, so a duplicate
    // started at login never opens the panel.
    static void requestShow(const std::filesystem::path& socketPath);

private:
    DatagramNotificationListener listener_;
};

}  // namespace tessary
