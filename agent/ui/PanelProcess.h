#pragma once

#include <QJsonObject>
#include <QObject>
#include <QRect>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/Logger.h"

namespace tessary {

class ChannelledProcess;
class PanelChannel;
class PanelModelPublisher;

// The panel the tray icon opens, drawn by a process of its own (Contents/Helpers/tessary-panel)
// started at the first open: Qt's GUI, Qt Quick and QML are most of what the panel costs in memory,
// and the agent runs all session long. The process shows the agent's view-models through a
// PanelModelPublisher and ends once the panel has been closed for `idleLifetime`.
class PanelProcess final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kProgramFileName = "tessary-panel";
    // Long enough that opening the panel again soon after closing it is instant.
    static constexpr std::chrono::seconds kIdleLifetime{30};

    // `content` (the ContentModel) must outlive the panel.
    PanelProcess(QObject& content, std::filesystem::path program, Logger logger,
                 std::chrono::milliseconds idleLifetime = kIdleLifetime, QObject* parent = nullptr);
    ~PanelProcess() override;

    // `trayGeometry` is the icon's rectangle in screen coordinates; QRect() when unknown.
    void show(QRect trayGeometry);
    // A click on the tray icon: shows a closed panel, closes an open one.
    void toggle(QRect trayGeometry);
    void hide();

signals:
    // The first frame after a show reached the screen.
    void firstFrameDrawn();

private:
    bool ensureRunning();
    void request(const char* op, QRect trayGeometry);
    void received(const QJsonObject& message);
    // The channel closed: the process is collected once it has exited.
    void channelClosed();

    QObject& content_;
    std::filesystem::path program_;
    Logger logger_;
    std::unique_ptr<ChannelledProcess> process_;
    std::unique_ptr<PanelChannel> channel_;
    std::unique_ptr<PanelModelPublisher> publisher_;
    // Runs while the panel is closed; ends the process when it fires.
    QTimer idle_;
    bool closingOnPurpose_ = false;
};

}  // namespace tessary
