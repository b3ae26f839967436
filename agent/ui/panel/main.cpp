// The panel's own process, started by the agent on the panel's first open: Qt's GUI, Qt Quick and
// QML live here, so the agent that runs all session long never maps them.
#include <QGuiApplication>

#include <cstdio>

#include "agent/ui/panel/PanelSession.h"
#include "platform/linux/ChannelledProcess.h"

int main(int argc, char* argv[])
{
    // The panel draws with its own colours and sizes. Following the desktop's settings would make
    // Qt load the desktop's theme plug-in: on GTK desktops that is GTK itself, its accessibility
    // bridge and through it a GL driver, several times the panel's own memory.
    QGuiApplication::setDesktopSettingsAware(false);
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Tessary"));
    app.setQuitOnLastWindowClosed(false);
    tessary::PanelSession session(tessary::ScopedFd(tessary::ChannelledProcess::kChannelDescriptor));
    if (!session.isConnected()) {
        std::fprintf(stderr, "tessary-panel: the Tessary agent starts this program when its panel opens\n");
        return 2;
    }
    QObject::connect(&session, &tessary::PanelSession::ended, &app, &QCoreApplication::quit);
    return QGuiApplication::exec();
}
