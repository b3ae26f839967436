#pragma once

#include <QHash>
#include <QJsonObject>
#include <QQmlPropertyMap>
#include <QString>
#include <QVariant>

#include <functional>

namespace tessary {

// One of the agent's view-models as the panel's QML reads it: its properties as the agent last
// published them. A property the QML writes, and a method it calls, go to the agent as numbered
// requests; a written property keeps the panel's value until a state acknowledges that request, so
// a state sent before it (the agent's view of an earlier keystroke) never undoes typing.
class RemoteModel final : public QQmlPropertyMap {
    Q_OBJECT

public:
    // Sends a request and gives the number it went with.
    using Send = std::function<qint64(const QJsonObject&)>;

    RemoteModel(int id, Send send, QObject* parent = nullptr);

    // Runs the agent model's invokable `method` (submit, reset, activate...).
    Q_INVOKABLE void call(const QString& method);

    // The root is made before the agent's first state names it.
    void setObjectId(int id) { id_ = id; }

    // A value from the agent in a state that acknowledged requests up to `acknowledged`; bindings
    // are told only when it differs.
    void assign(const QString& property, const QVariant& value, qint64 acknowledged);

signals:
    // The agent's model emitted `name`; the state it came with is already applied.
    void signalled(const QString& name);

private:
    int id_;
    Send send_;
    // The last request that wrote each property, until a state acknowledges it.
    QHash<QString, qint64> unacknowledgedWrites_;
};

}  // namespace tessary
