#include "agent/ui/UpdateLineModel.h"

#include <QPointer>

#include <utility>

namespace tessary {

namespace {

constexpr const char* kSubsystem = "app.brenmoor.tessary";

}  // namespace

UpdateLineModel::UpdateLineModel(Variant variant, std::shared_ptr<APIClient> apiClient,
                                 std::shared_ptr<PackageDownloader> downloader, std::shared_ptr<Launcher> launcher,
                                 std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                                 std::filesystem::path tempDir, std::optional<std::string> version,
                                 std::optional<std::string> build, QObject* parent)
    : QObject(parent), variant_(variant), apiClient_(std::move(apiClient)), downloader_(std::move(downloader)),
      launcher_(std::move(launcher)), mainQueue_(std::move(mainQueue)), apiLogger_(logSink, kSubsystem, "api"),
      appLogger_(std::move(logSink), kSubsystem, "app"), tempDir_(std::move(tempDir)),
      version_(std::move(version).value_or("?")), build_(std::move(build).value_or("?"))
{
}

QString UpdateLineModel::status() const
{
    switch (status_) {
    case Status::idle:
        return QStringLiteral("idle");
    case Status::checking:
        return QStringLiteral("checking");
    case Status::upToDate:
        return QStringLiteral("upToDate");
    case Status::available:
        return QStringLiteral("available");
    case Status::downloading:
        return QStringLiteral("downloading");
    case Status::failed:
        return QStringLiteral("failed");
    }
    return {};
}

QString UpdateLineModel::actionText() const
{
    switch (status_) {
    case Status::idle:
    case Status::failed:
        return QStringLiteral("Check for Update");
    case Status::upToDate:
        // The wizard shows no action row while the up-to-date result is shown.
        return variant_ == Variant::menu ? QStringLiteral("Check for Update") : QString();
    case Status::available:
        return QStringLiteral("Install Update");
    case Status::checking:
    case Status::downloading:
        return {};
    }
    return {};
}

bool UpdateLineModel::busy() const
{
    return status_ == Status::checking || status_ == Status::downloading;
}

QString UpdateLineModel::actionTone() const
{
    return status_ == Status::available ? QStringLiteral("orange") : QStringLiteral("accent");
}

QString UpdateLineModel::versionText() const
{
    switch (status_) {
    case Status::idle:
        return versionLine();
    case Status::checking:
        return QStringLiteral("Checking...");
    case Status::upToDate:
        return versionLine() + QStringLiteral(" \u2014 up to date");
    case Status::available:
        return versionLine() + QStringLiteral(" \u2014 update available");
    case Status::downloading:
        return QStringLiteral("Downloading...");
    case Status::failed:
        return versionLine() + QStringLiteral(" \u2014 check failed");
    }
    return {};
}

QString UpdateLineModel::versionTone() const
{
    switch (status_) {
    case Status::upToDate:
        return QStringLiteral("green");
    case Status::available:
        return QStringLiteral("orange");
    case Status::failed:
        return QStringLiteral("red");
    case Status::idle:
    case Status::checking:
    case Status::downloading:
        return QStringLiteral("secondary");
    }
    return {};
}

QString UpdateLineModel::versionLine() const
{
    return QStringLiteral("v") + QString::fromStdString(version_) + QStringLiteral(" (") +
           QString::fromStdString(build_) + QStringLiteral(")");
}

void UpdateLineModel::activate()
{
    switch (status_) {
    case Status::idle:
    case Status::failed:
        startUpdateCheck();
        return;
    case Status::upToDate:
        if (variant_ == Variant::menu)
            startUpdateCheck();
        return;
    case Status::available:
        installUpdate(*availableURL_);
        return;
    case Status::checking:
    case Status::downloading:
        return;
    }
}

void UpdateLineModel::startUpdateCheck()
{
    setStatus(Status::checking);
    // The menu alone logs a failed check, even when the panel has closed in the meantime.
    auto finished = [self = QPointer<UpdateLineModel>(this), variant = variant_,
                     logger = apiLogger_](const APIResult<std::optional<std::string>>& result) {
        if (!result && variant == Variant::menu)
            logger.error("Update check failed: %@", {result.failure().asError()});
        if (self)
            self->checkFinished(result);
    };
    if (!apiClient_) {
        // Still asynchronous, so the checking row shows as it would with a request.
        mainQueue_->post([finished = std::move(finished)] {
            const APIResult<std::optional<std::string>> nothing(std::nullopt);
            finished(nothing);
        });
        return;
    }
    apiClient_->checkForUpdate(std::move(finished));
}

void UpdateLineModel::checkFinished(const APIResult<std::optional<std::string>>& result)
{
    if (!result) {
        setStatus(Status::failed);
        returnToIdleLater();
    } else if (result.value()) {
        setStatus(Status::available, *result.value());
    } else {
        setStatus(Status::upToDate);
        returnToIdleLater();
    }
}

void UpdateLineModel::returnToIdleLater()
{
    // Unconditional and never cancelled: whatever the line shows when the time is up, it becomes idle.
    mainQueue_->postAfter(kResultShownFor, [self = QPointer<UpdateLineModel>(this)] {
        if (self)
            self->setStatus(Status::idle);
    });
}

void UpdateLineModel::installUpdate(std::string url)
{
    if (variant_ == Variant::menu)
        setStatus(Status::downloading);
    // On the main thread once the download has ended; the installer opens even when the panel has closed.
    auto finished = [self = QPointer<UpdateLineModel>(this), variant = variant_, launcher = launcher_,
                     logger = appLogger_](const Expected<PackageDownloader::Download>& download) {
        if (!download) {
            logger.error("Update download failed: %@", {download.error()});
            // A failed download stays shown until the user checks again; the wizard keeps its link.
            if (self && variant == Variant::menu)
                self->setStatus(Status::failed);
            return;
        }
        const auto path = download.value().file.string();
        if (variant == Variant::menu)
            logger.info("Update downloaded to %s", {path});
        // An installer that cannot be opened is a failed update, shown like a failed download.
        launcher->open(path, [self, variant, logger](const std::optional<Error>& failure) {
            if (!failure)
                return;
            logger.error("Update download failed: %@", {*failure});
            if (self && variant == Variant::menu)
                self->setStatus(Status::failed);
        });
    };
    downloader_->download(std::move(url), packagePath(),
                          [mainQueue = mainQueue_, finished = std::move(finished)](
                              Expected<PackageDownloader::Download> download) {
                              mainQueue->post([finished, download = std::move(download)] { finished(download); });
                          });
}

void UpdateLineModel::setStatus(Status status, std::optional<std::string> url)
{
    if (status == status_ && url == availableURL_)
        return;
    status_ = status;
    availableURL_ = std::move(url);
    emit changed();
}

}  // namespace tessary
