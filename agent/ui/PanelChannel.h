#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

#include "platform/linux/ScopedFd.h"

class QSocketNotifier;

namespace tessary {

// One end of the channel between the agent and its panel's process: a sequenced-packet socket
// carrying one JSON object per message, read on the thread that made the channel.
class PanelChannel final : public QObject {
    Q_OBJECT

public:
    // A message is a few hundred bytes; anything past this is refused, not read in part.
    static constexpr int kLargestMessage = 64 * 1024;

    // Owns `descriptor`, one end of a SOCK_SEQPACKET pair.
    explicit PanelChannel(ScopedFd descriptor, QObject* parent = nullptr);
    ~PanelChannel() override;

    bool isOpen() const { return static_cast<bool>(descriptor_); }
    // False when the message could not go: the channel is then closed, since a peer that does not
    // read would otherwise be sent a stale view.
    bool send(const QJsonObject& message);
    void close();

signals:
    void received(const QJsonObject& message);
    // A message that was not one JSON object, or too large; the channel stays open.
    void malformed(const QString& reason);
    // The other end closed, or this one failed; emitted once.
    void closed();

private:
    void readAvailable();

    ScopedFd descriptor_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tessary
