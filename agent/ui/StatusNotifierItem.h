#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

namespace tessary {

// One image of the item, ARGB32 in network byte order, as the protocol carries it.
struct StatusNotifierPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};

struct StatusNotifierToolTip {
    QString iconName;
    QList<StatusNotifierPixmap> images;
    QString title;
    QString text;
};

}  // namespace tessary

Q_DECLARE_METATYPE(tessary::StatusNotifierPixmap)
Q_DECLARE_METATYPE(tessary::StatusNotifierToolTip)

class QDBusServiceWatcher;

namespace tessary {

// The tray item as desktops show it over D-Bus (org.kde.StatusNotifierItem), registered with the
// desktop's StatusNotifierWatcher whenever one is on the session bus: at start, when one appears
// later (the keep-alive unit often starts the agent before the desktop's watcher is up), and again
// after the desktop's shell restarts. Qt's own tray looks for a watcher once, at start, and never
// registers later.
class StatusNotifierItem final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QList<tessary::StatusNotifierPixmap> IconPixmap READ iconPixmap)
    Q_PROPERTY(tessary::StatusNotifierToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    static constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";

    // `icon` holds the icon at one or more sizes.
    StatusNotifierItem(QString id, QString title, QList<StatusNotifierPixmap> icon, QObject* parent = nullptr);

    // A watcher was on the bus when the item was made: the desktop shows the item.
    bool watcherPresentAtStart() const { return watcherPresentAtStart_; }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return id_; }
    QString title() const { return title_; }
    QString status() const { return QStringLiteral("Active"); }
    QString iconName() const { return {}; }
    QList<StatusNotifierPixmap> iconPixmap() const { return pixmaps_; }
    StatusNotifierToolTip toolTip() const { return {{}, {}, title_, {}}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(QStringLiteral("/NO_DBUSMENU")); }

public slots:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

signals:
    // Clicked, at this point on the screen (0, 0 where the desktop does not say).
    void activated(QPoint where);
    // A watcher accepted the item.
    void registered();

private:
    void registerWithWatcher();

    QDBusConnection bus_;
    QString serviceName_;
    QString id_;
    QString title_;
    QList<StatusNotifierPixmap> pixmaps_;
    QDBusServiceWatcher* watcher_ = nullptr;
    bool watcherPresentAtStart_ = false;
};

}  // namespace tessary
