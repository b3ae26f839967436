// A minimal StatusNotifierWatcher, as a desktop's tray runs it: owns the watcher's name on the
// session bus and, for each item registered with it, prints "registered SERVICE" and the item's
// "Id" and first icon's size read back over the bus, one line each, then "watching" is printed once
// it listens.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <cstdio>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QVariant itemProperty(const QString& service, const char* name)
{
    auto get = QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                              QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QString::fromLatin1(name);
    const auto reply = QDBusConnection::sessionBus().call(get);
    return reply.arguments().isEmpty() ? QVariant() : reply.arguments().first().value<QDBusVariant>().variant();
}

class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service)
    {
        say(QStringLiteral("registered ") + service);
        say(QStringLiteral("id ") + itemProperty(service, "Id").toString());
        const auto pixmaps = itemProperty(service, "IconPixmap").value<QDBusArgument>();
        int width = 0, height = 0;
        QByteArray argb;
        pixmaps.beginArray();
        if (!pixmaps.atEnd()) {
            pixmaps.beginStructure();
            pixmaps >> width >> height >> argb;
            pixmaps.endStructure();
        }
        say(QStringLiteral("icon %1x%2 %3 bytes").arg(width).arg(height).arg(argb.size()));
    }
};

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    auto bus = QDBusConnection::sessionBus();
    Watcher watcher;
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllProperties | QDBusConnection::ExportScriptableSlots) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        say(QStringLiteral("cannot own the watcher's name"));
        return 1;
    }
    say(QStringLiteral("watching"));
    return QCoreApplication::exec();
}

#include "StatusNotifierWatcherStandIn.moc"
