#include "tests/support/PanelMirror.h"

#include <sys/socket.h>

#include <stdexcept>

#include "tests/support/MemoryLogSink.h"

namespace tessary::testing {

PanelMirror::PanelMirror(QObject& content)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error("no socket pair for the panel's channel");
    agentEnd_ = std::make_unique<PanelChannel>(ScopedFd(ends[0]));
    panelEnd_ = std::make_unique<PanelChannel>(ScopedFd(ends[1]));
    publisher_ = std::make_unique<PanelModelPublisher>(
        content, *agentEnd_, Logger(std::make_shared<MemoryLogSink>(), "app.brenmoor.tessary", "app"));
    tree_ = std::make_unique<RemoteModelTree>([this](const QJsonObject& request) { panelEnd_->send(request); });
    QObject::connect(agentEnd_.get(), &PanelChannel::received, publisher_.get(), &PanelModelPublisher::apply);
    QObject::connect(panelEnd_.get(), &PanelChannel::received, tree_.get(), [this](const QJsonObject& state) {
        // A warning fails every test that watches for them.
        if (const auto refused = tree_->apply(state))
            qWarning("PanelMirror: the mirror refused a state: %s", qPrintable(*refused));
    });
    publisher_->publish();
}

PanelMirror::~PanelMirror() = default;

}  // namespace tessary::testing
