#include "agent/ui/panel/RemoteModelTree.h"

#include <QJsonArray>

namespace tessary {

namespace {

// The agent publishes a handful of objects of a few properties each.
constexpr qsizetype kMostObjects = 64;

std::optional<int> idFromKey(const QString& key)
{
    bool ok = false;
    const int id = key.toInt(&ok);
    return ok && id > 0 ? std::optional(id) : std::nullopt;
}

}  // namespace

RemoteModelTree::RemoteModelTree(Send send, QObject* parent)
    : QObject(parent), send_(std::move(send)), root_(0, [this](const QJsonObject& message) { return request(message); })
{
}

qint64 RemoteModelTree::request(QJsonObject request)
{
    request.insert(QStringLiteral("sequence"), ++lastSequence_);
    send_(request);
    return lastSequence_;
}

RemoteModel* RemoteModelTree::modelFor(int id)
{
    if (id == rootId_)
        return &root_;
    auto*& model = models_[id];
    if (!model)
        model = new RemoteModel(id, [this](const QJsonObject& message) { return request(message); }, this);
    return model;
}

std::optional<QString> RemoteModelTree::apply(const QJsonObject& state)
{
    const int rootId = state.value(QStringLiteral("root")).toInt(-1);
    const auto objects = state.value(QStringLiteral("objects")).toObject();
    if (rootId <= 0 || (rootId_ > 0 && rootId != rootId_))
        return QStringLiteral("a state without its root");
    if (objects.size() > kMostObjects)
        return QStringLiteral("a state of %1 objects").arg(objects.size());
    for (auto object = objects.begin(); object != objects.end(); ++object)
        if (!idFromKey(object.key()) || !object.value().isObject())
            return QStringLiteral("a state with an object named \"%1\"").arg(object.key().left(40));
    if (!objects.contains(QString::number(rootId)))
        return QStringLiteral("a state without its root");
    if (rootId_ < 0) {
        rootId_ = rootId;
        root_.setObjectId(rootId);
    }

    const auto acknowledged = static_cast<qint64>(state.value(QStringLiteral("acknowledged")).toDouble());
    QHash<int, RemoteModel*> kept;
    for (auto object = objects.begin(); object != objects.end(); ++object) {
        const int id = *idFromKey(object.key());
        kept.insert(id, modelFor(id));
    }
    for (auto object = objects.begin(); object != objects.end(); ++object) {
        auto* model = kept.value(*idFromKey(object.key()));
        const auto properties = object.value().toObject();
        for (auto property = properties.begin(); property != properties.end(); ++property) {
            const auto value = property.value();
            if (value.isObject()) {
                const int child = value.toObject().value(QStringLiteral("object")).toInt(-1);
                model->assign(property.key(), QVariant::fromValue<QObject*>(kept.value(child)), acknowledged);
            } else if (value.isNull()) {
                model->assign(property.key(), QVariant::fromValue<QObject*>(nullptr), acknowledged);
            } else {
                model->assign(property.key(), value.toVariant(), acknowledged);
            }
        }
    }
    // An object the agent no longer shows goes once the views let go of it.
    for (auto model = models_.begin(); model != models_.end();) {
        if (kept.contains(model.key())) {
            ++model;
            continue;
        }
        (*model)->deleteLater();
        model = models_.erase(model);
    }
    for (const auto& signal : state.value(QStringLiteral("signals")).toArray()) {
        const auto entry = signal.toObject();
        if (auto* model = kept.value(entry.value(QStringLiteral("object")).toInt(-1)))
            emit model->signalled(entry.value(QStringLiteral("signal")).toString());
    }
    return std::nullopt;
}

}  // namespace tessary
