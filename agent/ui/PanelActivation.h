#pragma once

#include <QLocalServer>
#include <QObject>

#include <filesystem>
#include <functional>

namespace tessary {

// Lets a second copy of the agent (started from its command or its desktop entry) ask the running
// one to show its panel, over a local socket in the runtime folder that only the running agent,
// the holder of the single-instance lock, listens on.
class PanelActivation final : public QObject {
public:
    static constexpr const char* kSocketName = "app.brenmoor.tessary.panel";

    explicit PanelActivation(std::filesystem::path socketPath, QObject* parent = nullptr);

    // In the running agent. Returns false when the socket cannot be bound.
    bool listen(std::function<void()> onShowRequested);

    // In a second copy: asks the running agent to show its panel; waits at most briefly. Starts
    // made by the session or by systemd (autostart, keep-alive restarts) ask for nothing, so a
    // duplicate started at login never opens the panel.
    static void requestShow(const std::filesystem::path& socketPath);

private:
    std::filesystem::path socketPath_;
    QLocalServer server_;
};

}  // namespace tessary
