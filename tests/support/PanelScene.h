#pragma once

#include <QGuiApplication>
#include <QString>
#include <QStringList>

#include <memory>

#include "agent/core/AppDelegate.h"
#include "agent/ui/ContentModel.h"
#include "tests/support/FakePlatform.h"

namespace tessary::testing {

// The one application object of a test or benchmark process that draws the panel, on the given Qt platform plug-in ("offscreen" unless the environment already names one
// when `platform` is null).
QGuiApplication& guiApplication(const char* platform = "offscreen");

// Runs what is posted to Qt's event loop (deferred deletes, queued signals) until it is quiet.
void processQtEvents();

// Every warning, critical or fatal message Qt prints (QML errors included) while it lives.
class QtWarningCapture {
public:
    QtWarningCapture();
    ~QtWarningCapture();
    QtWarningCapture(const QtWarningCapture&) = delete;
    QtWarningCapture& operator=(const QtWarningCapture&) = delete;

    QStringList messages() const;
    QString joined() const { return messages().join(QLatin1Char('\n')); }
};

// The panel's real view-models over an AppDelegate on the fake platform (virtual time, scripted
// service, bundle version 1.2.0 build 42), with steps that put them into each state the panel
// shows. The state of AppState is written directly: these scenes are about the views, the core's
// own tests cover how the agent gets there.
class PanelScene {
public:
    PanelScene();
    ~PanelScene();
    PanelScene(const PanelScene&) = delete;
    PanelScene& operator=(const PanelScene&) = delete;

    ContentModel& content() { return *content_; }
    AppDelegate& delegate() { return *delegate_; }

    // Runs the virtual main queue and Qt's posted events until neither has work left.
    void settle();

    // The wizard's second screen; `code` typed into it.
    void openCodeEntry(const QString& code = {});
    // Screen B after the service refused the code (HTTP 400).
    void failPairing();
    // Screen B with the pairing request in flight.
    void startPairing();
    // The menu of a paired device, monitoring or not.
    void showMenu(bool monitoring);
    // The update line of the side shown, brought into `status`: "idle", "checking", "upToDate",
    // "available", "downloading" (menu only) or "failed".
    void driveUpdateLine(const QString& status);
    QString updateLineStatus() const;

    FakePlatform fake;

private:
    QObject* updateLine() const;

    std::shared_ptr<AppDelegate> delegate_;
    std::unique_ptr<ContentModel> content_;
};

}  // namespace tessary::testing
