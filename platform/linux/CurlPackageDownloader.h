#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/PackageDownloader.h"

namespace tessary {

// libcurl on one worker thread of its own (started by the first download), one download after another, under CurlTransferPolicy's
// rules. There is no overall time limit, so a large package on a slow link still arrives; a download
// that stalls (less than one byte a second for `stallTimeout`) fails.
class CurlPackageDownloader final : public PackageDownloader {
public:
    explicit CurlPackageDownloader(std::optional<std::filesystem::path> extraCaFile = std::nullopt,
                                   std::chrono::seconds stallTimeout = std::chrono::seconds(60));
    // Cancels the download under way and those waiting; their completions receive an error.
    ~CurlPackageDownloader() override;
    CurlPackageDownloader(const CurlPackageDownloader&) = delete;
    CurlPackageDownloader& operator=(const CurlPackageDownloader&) = delete;

    void download(std::string url, std::filesystem::path destination, Completion completion) override;

private:
    struct Job {
        std::string url;
        std::filesystem::path destination;
        Completion completion;
    };

    void run();
    Expected<Download> perform(const Job& job);

    const std::optional<std::filesystem::path> extraCaFile_;
    const std::chrono::seconds stallTimeout_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> waiting_;
    // Read by the transfer's progress callback, so a running download ends promptly.
    std::atomic<bool> stopping_{false};
    std::thread worker_;
};

}  // namespace tessary
