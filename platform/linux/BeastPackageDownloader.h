#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PackageDownloader.h"

namespace tessary {

// Boost.Beast on one io thread of its own ("download", started by the first download), one
// download after another, each an HttpsExchange whose body goes straight to the file. Each
// connection gets 30 s to be made; there is no overall time limit, so a large package on a slow
// link still arrives, but a download that stalls (less than one byte a second for `stallTimeout`)
// fails. The environment's proxy settings are not read.
class BeastPackageDownloader final : public PackageDownloader {
public:
    explicit BeastPackageDownloader(std::optional<std::filesystem::path> extraCaFile = std::nullopt,
                                    std::chrono::seconds stallTimeout = std::chrono::seconds(60));
    // Cancels the download under way and those waiting; their completions receive an error
    // before this returns.
    ~BeastPackageDownloader() override;
    BeastPackageDownloader(const BeastPackageDownloader&) = delete;
    BeastPackageDownloader& operator=(const BeastPackageDownloader&) = delete;

    void download(std::string url, std::filesystem::path destination, Completion completion) override;

private:
    struct Core;

    const std::optional<std::filesystem::path> extraCaFile_;
    const std::chrono::seconds stallTimeout_;
    std::mutex mutex_;
    // Made by the first download: most agents never download an update.
    std::unique_ptr<Core> core_;
};

}  // namespace tessary
