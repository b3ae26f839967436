#pragma once

#include <QObject>

#include <memory>

#include "agent/ui/PanelChannel.h"
#include "agent/ui/PanelModelPublisher.h"
#include "agent/ui/panel/RemoteModelTree.h"

namespace tessary::testing {

// The agent's models as the panel's process sees them, in one process: published over a real
// channel (a socket pair) into a RemoteModelTree, requests going back the same way. Qt's event
// loop carries the messages (PanelScene::settle runs it).
class PanelMirror {
public:
    explicit PanelMirror(QObject& content);
    ~PanelMirror();
    PanelMirror(const PanelMirror&) = delete;
    PanelMirror& operator=(const PanelMirror&) = delete;

    RemoteModel& content() { return tree_->root(); }
    // The agent's end, for sending what a broken or hostile panel would.
    PanelChannel& panelEnd() { return *panelEnd_; }

private:
    std::unique_ptr<PanelChannel> agentEnd_;
    std::unique_ptr<PanelChannel> panelEnd_;
    std::unique_ptr<PanelModelPublisher> publisher_;
    std::unique_ptr<RemoteModelTree> tree_;
};

}  // namespace tessary::testing
