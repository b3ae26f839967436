#pragma once

#include <QJsonObject>
#include <QObject>
#include <QRect>

#include <memory>

#include "agent/ui/PanelChannel.h"
#include "agent/ui/panel/PanelView.h"
#include "agent/ui/panel/RemoteModelTree.h"

namespace tessary {

// The panel's process as the agent drives it over the channel: the agent's "state" keeps the
// models, "show", "toggle" and "hide" (with the tray icon's "tray": [x, y, width, height] when
// known) move the window, and the process answers "drawn" when a first frame after a show reached
// the screen and "visible" when the window appears or goes.
class PanelSession final : public QObject {
    Q_OBJECT

public:
    explicit PanelSession(ScopedFd channel, QObject* parent = nullptr);
    ~PanelSession() override;

    bool isConnected() const { return channel_.isOpen(); }

signals:
    // The agent closed the channel, or went.
    void ended();

private:
    void received(const QJsonObject& message);
    PanelView& view();

    PanelChannel channel_;
    RemoteModelTree models_;
    bool hasState_ = false;
    std::unique_ptr<PanelView> view_;
};

}  // namespace tessary
