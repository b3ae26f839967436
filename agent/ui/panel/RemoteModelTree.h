#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

#include "agent/ui/panel/RemoteModel.h"

namespace tessary {

// The agent's view-models as the panel's process knows them, kept by the agent's "state" messages:
// one RemoteModel per object the agent published, the root always the same one, an object the
// agent replaced by another a new RemoteModel (so a view rebuilt for it starts afresh).
class RemoteModelTree final : public QObject {
    Q_OBJECT

public:
    using Send = std::function<void(const QJsonObject&)>;

    // `send` takes the models' requests, each numbered in "sequence".
    explicit RemoteModelTree(Send send, QObject* parent = nullptr);

    RemoteModel& root() { return root_; }
    // Applies one state; a malformed one is refused whole and says why.
    std::optional<QString> apply(const QJsonObject& state);

private:
    RemoteModel* modelFor(int id);
    qint64 request(QJsonObject request);

    Send send_;
    qint64 lastSequence_ = 0;
    RemoteModel root_;
    int rootId_ = -1;
    QHash<int, RemoteModel*> models_;
};

}  // namespace tessary
