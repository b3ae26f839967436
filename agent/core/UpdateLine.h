#pragma once

#include <filesystem>
#include <functional>
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
// desktop's package installer. The user starts every step. Main thread only. Owned through a
// shared_ptr, which pending work holds weakly: a check or download under way finishes (and the
// installer still opens) when the line is gone.
class UpdateLine final : public std::enable_shared_from_this<UpdateLine> {
public:
    // The menu of a paired device, or the first screen of the setup wizard.
    enum class Variant { menu, wizard };

    // `apiClient` may be null: the line then reports up to date without any request. `version` and
    // `build` show as "?" when absent.
    UpdateLine(Variant variant, std::shared_ptr<APIClient> apiClient, std::shared_ptr<PackageDownloader> downloader,
               std::shared_ptr<Launcher> launcher, std::shared_ptr<MainQueue> mainQueue,
               std::shared_ptr<LogSink> logSink, std::filesystem::path tempDir, std::optional<std::string> version,
               std::optional<std::string> build);

    // Told after each change of what the line shows.
    void setListener(std::function<void()> listener);

    // "idle", "checking", "upToDate", "available", "downloading" or "failed".
    std::string status() const;
    // "Check for Update", "Install Update", or empty while the action row is a spinner or absent.
    std::string actionText() const;
    // The action row is a small spinner.
    bool busy() const;
    // "accent" or "orange".
    std::string actionTone() const;
    std::string versionText() const;
    // "secondary", "green", "orange" or "red".
    std::string versionTone() const;

    // A tap on the link: what it does depends on the state shown.
    void activate();

private:
    enum class Status { idle, checking, upToDate, available, downloading, failed };

    // The "Check for Update" action.
    void startUpdateCheck();
    // The "Install Update" action, given the URL the check returned.
    void installUpdate(std::string url);
    void setStatus(Status status, std::optional<std::string> url = std::nullopt);
    void checkFinished(const APIResult<std::optional<std::string>>& result);
    void returnToIdleLater();
    // "v<version> (<build>)"
    std::string versionLine() const;

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
    std::function<void()> listener_;
    Status status_ = Status::idle;
    // The package URL while the state is available.
    std::optional<std::string> availableURL_;
};

}  // namespace tessary
