#include "agent/core/UpdateLine.h"

#include <chrono>
#include <utility>

namespace tessary {

namespace {

constexpr const char* kSubsystem = "app.brenmoor.tessary";
// How long an up-to-date or failed check shows before the line returns to idle.
constexpr std::chrono::milliseconds kResultShownFor{3000};
// Named so the desktop's package installer recognises it.
constexpr const char* kPackageFileName = "Tessary.deb";

}  // namespace

UpdateLine::UpdateLine(Variant variant, std::shared_ptr<APIClient> apiClient,
                       std::shared_ptr<PackageDownloader> downloader, std::shared_ptr<Launcher> launcher,
                       std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                       std::filesystem::path tempDir, std::optional<std::string> version,
                       std::optional<std::string> build)
    : variant_(variant), apiClient_(std::move(apiClient)), downloader_(std::move(downloader)),
      launcher_(std::move(launcher)), mainQueue_(std::move(mainQueue)), apiLogger_(logSink, kSubsystem, "api"),
      appLogger_(std::move(logSink), kSubsystem, "app"), tempDir_(std::move(tempDir)),
      version_(std::move(version).value_or("?")), build_(std::move(build).value_or("?"))
{
}

void UpdateLine::setListener(std::function<void()> listener)
{
    listener_ = std::move(listener);
}

std::string UpdateLine::status() const
{
    switch (status_) {
    case Status::idle:
        return "idle";
    case Status::checking:
        return "checking";
    case Status::upToDate:
        return "upToDate";
    case Status::available:
        return "available";
    case Status::downloading:
        return "downloading";
    case Status::failed:
        return "failed";
    }
    return {};
}

std::string UpdateLine::actionText() const
{
    switch (status_) {
    case Status::idle:
    case Status::failed:
        return "Check for Update";
    case Status::upToDate:
        // The wizard shows no action row while the up-to-date result is shown.
        return variant_ == Variant::menu ? "Check for Update" : "";
    case Status::available:
        return "Install Update";
    case Status::checking:
    case Status::downloading:
        return {};
    }
    return {};
}

bool UpdateLine::busy() const
{
    return status_ == Status::checking || status_ == Status::downloading;
}

std::string UpdateLine::actionTone() const
{
    return status_ == Status::available ? "orange" : "accent";
}

std::string UpdateLine::versionText() const
{
    switch (status_) {
    case Status::idle:
        return versionLine();
    case Status::checking:
        return "Checking...";
    case Status::upToDate:
        return versionLine() + " \u2014 up to date";
    case Status::available:
        return versionLine() + " \u2014 update available";
    case Status::downloading:
        return "Downloading...";
    case Status::failed:
        return versionLine() + " \u2014 check failed";
    }
    return {};
}

std::string UpdateLine::versionTone() const
{
    switch (status_) {
    case Status::upToDate:
        return "green";
    case Status::available:
        return "orange";
    case Status::failed:
        return "red";
    case Status::idle:
    case Status::checking:
    case Status::downloading:
        return "secondary";
    }
    return {};
}

std::string UpdateLine::versionLine() const
{
    return "v" + version_ + " (" + build_ + ")";
}

void UpdateLine::activate()
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

void UpdateLine::startUpdateCheck()
{
    setStatus(Status::checking);
    // The menu alone logs a failed check, even when the line is gone in the meantime.
    auto finished = [weak = weak_from_this(), variant = variant_,
                     logger = apiLogger_](const APIResult<std::optional<std::string>>& result) {
        if (!result && variant == Variant::menu)
            logger.error("Update check failed: %@", {result.error().asError()});
        if (const auto self = weak.lock())
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

void UpdateLine::checkFinished(const APIResult<std::optional<std::string>>& result)
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

void UpdateLine::returnToIdleLater()
{
    // Unconditional and never cancelled: whatever the line shows when the time is up, it becomes idle.
    mainQueue_->postAfter(kResultShownFor, [weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->setStatus(Status::idle);
    });
}

void UpdateLine::installUpdate(std::string url)
{
    if (variant_ == Variant::menu)
        setStatus(Status::downloading);
    // On the main thread once the download has ended; the installer opens even when the line is gone.
    auto finished = [weak = weak_from_this(), variant = variant_, launcher = launcher_,
                     logger = appLogger_](const Expected<PackageDownloader::Download>& download) {
        if (!download) {
            logger.error("Update download failed: %@", {download.error()});
            // A failed download stays shown until the user checks again; the wizard keeps its link.
            if (const auto self = weak.lock(); self && variant == Variant::menu)
                self->setStatus(Status::failed);
            return;
        }
        const auto path = download.value().file.string();
        if (variant == Variant::menu)
            logger.info("Update downloaded to %s", {path});
        // An installer that cannot be opened is a failed update, shown like a failed download.
        launcher->open(path, [weak, variant, logger](const std::optional<Error>& failure) {
            if (!failure)
                return;
            logger.error("Update download failed: %@", {*failure});
            if (const auto self = weak.lock(); self && variant == Variant::menu)
                self->setStatus(Status::failed);
        });
    };
    downloader_->download(std::move(url), tempDir_ / kPackageFileName,
                          [mainQueue = mainQueue_, finished = std::move(finished)](
                              Expected<PackageDownloader::Download> download) {
                              mainQueue->post([finished, download = std::move(download)] { finished(download); });
                          });
}

void UpdateLine::setStatus(Status status, std::optional<std::string> url)
{
    if (status == status_ && url == availableURL_)
        return;
    status_ = status;
    availableURL_ = std::move(url);
    if (listener_)
        listener_();
}

}  // namespace tessary
