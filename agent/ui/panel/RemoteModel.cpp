#include "agent/ui/panel/RemoteModel.h"

#include <QJsonValue>

namespace tessary {

RemoteModel::RemoteModel(int id, Send send, QObject* parent)
    : QQmlPropertyMap(this, parent), id_(id), send_(std::move(send))
{
    // Only writes from QML arrive here, never the agent's own values.
    connect(this, &QQmlPropertyMap::valueChanged, this, [this](const QString& property, const QVariant& value) {
        unacknowledgedWrites_.insert(property, send_(QJsonObject{{QStringLiteral("op"), QStringLiteral("set")},
                                                                 {QStringLiteral("object"), id_},
                                                                 {QStringLiteral("property"), property},
                                                                 {QStringLiteral("value"), QJsonValue::fromVariant(value)}}));
    });
}

void RemoteModel::call(const QString& method)
{
    send_(QJsonObject{{QStringLiteral("op"), QStringLiteral("call")},
                      {QStringLiteral("object"), id_},
                      {QStringLiteral("method"), method}});
}

void RemoteModel::assign(const QString& property, const QVariant& value, qint64 acknowledged)
{
    if (const auto write = unacknowledgedWrites_.constFind(property); write != unacknowledgedWrites_.constEnd()) {
        if (*write > acknowledged)
            return;
        unacknowledgedWrites_.erase(write);
    }
    if (!contains(property) || this->value(property) != value)
        insert(property, value);
}

}  // namespace tessary
