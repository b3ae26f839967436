#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include "platform/Logger.h"

namespace tessary {

class PanelChannel;

// The agent's view-models as the panel's process sees them. After each burst of changes it sends
// {"op": "state", "root": id, "objects": {id: {property: value}}, "signals": [{"object": id,
// "signal": name}], "acknowledged": n}: every property of every object reachable from the root
// (an object-valued property as {"object": id} or null), the signals emitted since the last state
// (so a view reacting to one reads the new state), and the last request handled. The panel may ask
// for {"op": "set", "object", "property", "value"} of a writable string or boolean property and
// {"op": "call", "object", "method"} of an invokable method without parameters, each numbered in
// "sequence"; anything else is refused and logged.
class PanelModelPublisher final : public QObject {
    Q_OBJECT

public:
    // `root` and `channel` must outlive the publisher.
    PanelModelPublisher(QObject& root, PanelChannel& channel, Logger logger, QObject* parent = nullptr);

    // Sends the state now, unless it is the one last sent and no signal is pending.
    void publish();
    // A "set" or "call" from the panel.
    void apply(const QJsonObject& request);

private slots:
    void objectSignalled();

private:
    int idOf(QObject* object);
    QJsonObject describe(QObject* object, QList<QObject*>& toVisit);
    void schedulePublish();
    void refuse(const QJsonObject& request, const char* why) const;

    QObject& root_;
    PanelChannel& channel_;
    Logger logger_;
    QHash<QObject*, int> ids_;
    QHash<int, QPointer<QObject>> objects_;
    int nextId_ = 1;
    QJsonArray pendingSignals_;
    bool publishPending_ = false;
    // The last request handled, acknowledged in each state.
    qint64 acknowledged_ = 0;
    QByteArray lastState_;
};

}  // namespace tessary
