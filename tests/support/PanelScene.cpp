#include "tests/support/PanelScene.h"

#include <QCoreApplication>
#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <cstdlib>
#include <string>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig keeps its configuration and caches for the life of the process and Qt never calls
// FcFini, so the leak checker would blame every program that draws text.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
#endif

namespace tessary::testing {

namespace {

constexpr auto kVersionPath = "releases/version.json";

// Holds every download without ever finishing it, so the line stays at "Downloading...".
class HeldDownloader final : public PackageDownloader {
public:
    void download(std::string, std::filesystem::path, Completion completion) override
    {
        held_.push_back(std::move(completion));
    }

private:
    std::vector<Completion> held_;
};

QMutex captureMutex;
QStringList captured;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) {
        QMutexLocker lock(&captureMutex);
        captured.append(message);
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

}  // namespace

QGuiApplication& guiApplication(const char* platform)
{
    if (auto* existing = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return *existing;
    if (platform)
        qputenv("QT_QPA_PLATFORM", platform);
    else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt warns about a missing runtime folder; give it a private one instead.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const auto runtime = QDir::temp().filePath(QStringLiteral("tessary-ui-runtime-%1").arg(getuid()));
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    }
    static int argc = 1;
    static char name[] = "tessary-ui-test";
    static char* argv[] = {name, nullptr};
    // As the panel's process has; it lives until the process ends, since Qt allows one application
    // object per process.
    static auto* application = new QGuiApplication(argc, argv);
    return *application;
}

void processQtEvents()
{
    auto* dispatcher = QCoreApplication::eventDispatcher();
    for (int round = 0; round < 100; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (!dispatcher || !dispatcher->processEvents(QEventLoop::AllEvents))
            return;
    }
}

QtWarningCapture::QtWarningCapture()
{
    QMutexLocker lock(&captureMutex);
    captured.clear();
    previousHandler = qInstallMessageHandler(captureMessage);
}

QtWarningCapture::~QtWarningCapture()
{
    qInstallMessageHandler(previousHandler);
    QMutexLocker lock(&captureMutex);
    previousHandler = nullptr;
}

QStringList QtWarningCapture::messages() const
{
    QMutexLocker lock(&captureMutex);
    return captured;
}

PanelScene::PanelScene()
{
    delegate_ = std::make_shared<AppDelegate>(fake.platform());
    delegate_->applicationDidFinishLaunching();
    fake.mainQueue->runUntilIdle();
    auto downloader = std::make_shared<HeldDownloader>();
    content_ = std::make_unique<ContentModel>(delegate_, fake.mainQueue, fake.log, [this, downloader](auto variant) {
        return new UpdateLineModel(variant, delegate_->apiClient(), downloader, fake.launcher, fake.mainQueue,
                                   fake.log, fake.paths.tempDir, "1.2.0", "42");
    });
    settle();
}

PanelScene::~PanelScene()
{
    content_.reset();
    processQtEvents();
}

void PanelScene::settle()
{
    for (int round = 0; round < 100; ++round) {
        processQtEvents();
        if (fake.mainQueue->runUntilIdle() == 0)
            break;
    }
    processQtEvents();
}

void PanelScene::openCodeEntry(const QString& code)
{
    auto* wizard = content_->wizard();
    wizard->setShowingSetup(true);
    if (!code.isEmpty())
        wizard->setCode(code);
    settle();
}

void PanelScene::startPairing()
{
    openCodeEntry(QStringLiteral("123456"));
    content_->wizard()->submit();
    settle();
}

void PanelScene::failPairing()
{
    startPairing();
    fake.http->reply("api/use-setup-code", 400, R"({"error":"invalid code"})");
    settle();
}

void PanelScene::showMenu(bool monitoring)
{
    auto& state = delegate_->appState();
    state.setIsSetUp(true);
    state.setIsMonitoring(monitoring);
    settle();
}

QObject* PanelScene::updateLine() const
{
    if (auto* menu = content_->menu())
        return menu->updateLine();
    return content_->wizard()->updateLine();
}

QString PanelScene::updateLineStatus() const
{
    return updateLine()->property("status").toString();
}

void PanelScene::driveUpdateLine(const QString& status)
{
    auto* line = static_cast<UpdateLineModel*>(updateLine());
    if (status == QLatin1String("idle"))
        return;
    line->activate();
    settle();
    if (status == QLatin1String("checking"))
        return;
    if (status == QLatin1String("failed"))
        fake.http->fail(kVersionPath, "The Internet connection appears to be offline.");
    else if (status == QLatin1String("upToDate"))
        fake.http->reply(kVersionPath, 200, R"({"version":"1.2.0","build":"42"})");
    else
        fake.http->reply(kVersionPath, 200, R"({"version":"1.3.0","build":"43"})");
    settle();
    if (status == QLatin1String("downloading")) {
        line->activate();
        settle();
    }
}

}  // namespace tessary::testing
