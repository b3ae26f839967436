#include "agent/ui/StatusNotifierItem.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace tessary {

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip)
{
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.images << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip)
{
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.images >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

namespace {

constexpr auto kItemPath = "/StatusNotifierItem";
constexpr auto kWatcherPath = "/StatusNotifierWatcher";

}  // namespace

StatusNotifierItem::StatusNotifierItem(QString id, QString title, QList<StatusNotifierPixmap> icon, QObject* parent)
    : QObject(parent),
      bus_(QDBusConnection::sessionBus()),
      serviceName_(QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid())),
      id_(std::move(id)),
      title_(std::move(title)),
      pixmaps_(std::move(icon))
{
    qDBusRegisterMetaType<StatusNotifierPixmap>();
    qDBusRegisterMetaType<QList<StatusNotifierPixmap>>();
    qDBusRegisterMetaType<StatusNotifierToolTip>();
    if (!bus_.isConnected())
        return;
    bus_.registerObject(QString::fromLatin1(kItemPath), this,
                        QDBusConnection::ExportAllProperties | QDBusConnection::ExportScriptableSlots);
    bus_.registerService(serviceName_);
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus_,
                                       QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] { registerWithWatcher(); });
    watcherPresentAtStart_ = bus_.interface()->isServiceRegistered(QString::fromLatin1(kWatcherService));
    if (watcherPresentAtStart_)
        registerWithWatcher();
}

void StatusNotifierItem::registerWithWatcher()
{
    auto call = QDBusMessage::createMethodCall(QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
                                               QString::fromLatin1(kWatcherService),
                                               QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        if (!QDBusPendingReply<>(*finished).isError())
            emit registered();
    });
}

void StatusNotifierItem::Activate(int x, int y)
{
    emit activated(QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int x, int y)
{
    emit activated(QPoint(x, y));
}

void StatusNotifierItem::ContextMenu(int x, int y)
{
    // The panel is the item's only menu.
    emit activated(QPoint(x, y));
}

void StatusNotifierItem::Scroll(int /*delta*/, const QString& /*orientation*/) {}

}  // namespace tessary
