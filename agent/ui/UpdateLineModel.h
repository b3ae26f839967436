#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "agent/service/APIClient.h"
#include "platform/Launcher.h"
#include "platform/LogSink.h"
#include "platform/Logger.h"
#include "platform/MainQueue.h"
#include "platform/PackageDownloader.h"

namespace tessary {

// The update line at the foot of both panels: the running version and build, and a link that asks
// the service for a newer build and, when there is one, downloads the package and hands it to the
// desktop's package installer. The user starts every step. Main thread only; a check or download
// under way finishes (and the installer still opens) when the model is gone.
class UpdateLineModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY changed)
    Q_PROPERTY(QString actionText READ actionText NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(QString actionTone READ actionTone NOTIFY changed)
    Q_PROPERTY(QString versionText READ versionText NOTIFY changed)
    Q_PROPERTY(QString versionTone READ versionTone NOTIFY changed)

public:
    // The menu of a paired device, or the first screen of the setup wizard.
    enum class Variant { menu, wizard };
    enum class Status { idle, checking, upToDate, available, downloading, failed };

    // How long an up-to-date or failed check shows before the line returns to idle.
    static constexpr std::chrono::milliseconds kResultShownFor{3000};
    // Named so the desktop's package installer recognises it.
    static constexpr const char* kPackageFileName = "Tessary.deb";

    // `apiClient` may be null: the line then reports up to date without any request. `version` and
    // `build` show as "?" when absent.
    UpdateLineModel(Variant variant, std::shared_ptr<APIClient> apiClient,
                    std::shared_ptr<PackageDownloader> downloader, std::shared_ptr<Launcher> launcher,
                    std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<LogSink> logSink,
                    std::filesystem::path tempDir, std::optional<std::string> version,
                    std::optional<std::string> build, QObject* parent = nullptr);

    // "idle", "checking", "upToDate", "available", "downloading" or "failed".
    QString status() const;
    // "Check for Update", "Install Update", or empty while the action row is a spinner or absent.
    QString actionText() const;
    // The action row is a small spinner.
    bool busy() const;
    // "accent" or "orange".
    QString actionTone() const;
    QString versionText() const;
    // "secondary", "green", "orange" or "red".
    QString versionTone() const;

    // A tap on the link: what it does depends on the state shown.
    Q_INVOKABLE void activate();

    Variant variant() const { return variant_; }
    Status state() const { return status_; }
    // The package URL while the state is available.
    const std::optional<std::string>& availableURL() const { return availableURL_; }
    // Where the downloaded package is saved.
    std::filesystem::path packagePath() const { return tempDir_ / kPackageFileName; }

    // The "Check for Update" action.
    void startUpdateCheck();
    // The "Install Update" action, given the URL the check returned.
    void installUpdate(std::string url);

signals:
    void changed();

private:
    void setStatus(Status status, std::optional<std::string> url = std::nullopt);
    void checkFinished(const APIResult<std::optional<std::string>>& result);
    void returnToIdleLater();
    // "v<version> (<build>)"
    QString versionLine() const;

    const Variant variant_;
    const std::shared_ptr<APIClient> apiClient_;
    const std::shared_ptr<PackageDownloader> downloader_;
    const std::shared_ptr<Launcher> launcher_;
    const std::shared_ptr<MainQueue> mainQueue_;
    const Logger apiLogger_;
    const Logger appLogger_;
    const std::filesystem::path tempDir_;
    const std::string version_;
    const std::string build_;
    Status status_ = Status::idle;
    std::optional<std::string> availableURL_;
};

}  // namespace tessary
