#include "agent/ui/PanelModelPublisher.h"

#include <QJsonDocument>
#include <QMetaMethod>
#include <QMetaProperty>

#include <algorithm>

#include "agent/ui/PanelChannel.h"

namespace tessary {

namespace {

// QObject's own members (objectName, destroyed, deleteLater) are no part of a view-model.
const int kFirstPropertyIndex = QObject::staticMetaObject.propertyCount();
const int kFirstMethodIndex = QObject::staticMetaObject.methodCount();

QObject* objectValue(const QMetaProperty& property, const QVariant& value)
{
    if (!(property.metaType().flags() & QMetaType::PointerToQObject))
        return nullptr;
    return *static_cast<QObject* const*>(value.constData());
}

}  // namespace

PanelModelPublisher::PanelModelPublisher(QObject& root, PanelChannel& channel, Logger logger, QObject* parent)
    : QObject(parent), root_(root), channel_(channel), logger_(std::move(logger))
{
}

int PanelModelPublisher::idOf(QObject* object)
{
    if (const auto known = ids_.constFind(object); known != ids_.constEnd())
        return *known;
    const int id = nextId_++;
    ids_.insert(object, id);
    objects_.insert(id, object);
    connect(object, &QObject::destroyed, this, [this, id](QObject* gone) {
        ids_.remove(gone);
        objects_.remove(id);
    });
    const auto slot = metaObject()->method(metaObject()->indexOfSlot("objectSignalled()"));
    const auto* type = object->metaObject();
    for (int index = kFirstMethodIndex; index < type->methodCount(); ++index) {
        const auto method = type->method(index);
        if (method.methodType() == QMetaMethod::Signal)
            connect(object, method, this, slot);
    }
    return id;
}

QJsonObject PanelModelPublisher::describe(QObject* object, QList<QObject*>& toVisit)
{
    QJsonObject properties;
    const auto* type = object->metaObject();
    for (int index = kFirstPropertyIndex; index < type->propertyCount(); ++index) {
        const auto property = type->property(index);
        const auto value = property.read(object);
        if (property.metaType().flags() & QMetaType::PointerToQObject) {
            auto* child = objectValue(property, value);
            if (child)
                toVisit.append(child);
            properties.insert(QLatin1String(property.name()),
                              child ? QJsonValue(QJsonObject{{QStringLiteral("object"), idOf(child)}}) : QJsonValue());
        } else {
            properties.insert(QLatin1String(property.name()), QJsonValue::fromVariant(value));
        }
    }
    return properties;
}

void PanelModelPublisher::publish()
{
    publishPending_ = false;
    QJsonObject objects;
    QList<QObject*> toVisit{&root_};
    const int rootId = idOf(&root_);
    while (!toVisit.isEmpty()) {
        auto* object = toVisit.takeFirst();
        const auto key = QString::number(idOf(object));
        if (!objects.contains(key))
            objects.insert(key, describe(object, toVisit));
    }
    const QJsonObject state{{QStringLiteral("op"), QStringLiteral("state")},
                            {QStringLiteral("root"), rootId},
                            {QStringLiteral("objects"), objects},
                            {QStringLiteral("acknowledged"), acknowledged_}};
    const auto stateBytes = QJsonDocument(state).toJson(QJsonDocument::Compact);
    if (pendingSignals_.isEmpty() && stateBytes == lastState_)
        return;
    lastState_ = stateBytes;
    auto message = state;
    message.insert(QStringLiteral("signals"), std::exchange(pendingSignals_, {}));
    channel_.send(message);
}

void PanelModelPublisher::objectSignalled()
{
    auto* object = sender();
    const int signalIndex = senderSignalIndex();
    if (!object || signalIndex < 0 || !ids_.contains(object))
        return;
    pendingSignals_.append(QJsonObject{
        {QStringLiteral("object"), ids_.value(object)},
        {QStringLiteral("signal"), QString::fromLatin1(object->metaObject()->method(signalIndex).name())}});
    schedulePublish();
}

void PanelModelPublisher::schedulePublish()
{
    if (publishPending_)
        return;
    publishPending_ = true;
    QMetaObject::invokeMethod(this, &PanelModelPublisher::publish, Qt::QueuedConnection);
}

void PanelModelPublisher::apply(const QJsonObject& request)
{
    const auto op = request.value(QStringLiteral("op")).toString();
    acknowledged_ = std::max(acknowledged_, static_cast<qint64>(request.value(QStringLiteral("sequence")).toDouble()));
    auto* object = objects_.value(request.value(QStringLiteral("object")).toInt(-1)).data();
    if (!object)
        return refuse(request, "no such object");
    const auto* type = object->metaObject();
    if (op == QLatin1String("set")) {
        const auto name = request.value(QStringLiteral("property")).toString().toLatin1();
        const int index = type->indexOfProperty(name.constData());
        if (index < kFirstPropertyIndex || !type->property(index).isWritable()) {
            lastState_.clear();
            schedulePublish();
            return refuse(request, "no writable property of that name");
        }
        const auto property = type->property(index);
        const auto value = request.value(QStringLiteral("value"));
        const bool typeMatches = (property.metaType().id() == QMetaType::QString && value.isString()) ||
                                 (property.metaType().id() == QMetaType::Bool && value.isBool());
        // The panel already shows what it wrote: the next state goes out even if nothing changed,
        // so a refused or altered value is put right there.
        lastState_.clear();
        schedulePublish();
        if (!typeMatches || !property.write(object, value.toVariant()))
            return refuse(request, "a value of another type");
        return;
    }
    if (op == QLatin1String("call")) {
        const auto name = request.value(QStringLiteral("method")).toString().toLatin1();
        for (int index = kFirstMethodIndex; index < type->methodCount(); ++index) {
            const auto method = type->method(index);
            if (method.methodType() == QMetaMethod::Method && method.access() == QMetaMethod::Public &&
                method.parameterCount() == 0 && method.name() == name) {
                method.invoke(object, Qt::DirectConnection);
                return;
            }
        }
        return refuse(request, "no invokable method of that name");
    }
    refuse(request, "an unknown request");
}

void PanelModelPublisher::refuse(const QJsonObject& request, const char* why) const
{
    logger_.error("The panel's request %s was refused: %s",
                  {QJsonDocument(request).toJson(QJsonDocument::Compact).left(200).toStdString(), std::string(why)});
}

}  // namespace tessary
