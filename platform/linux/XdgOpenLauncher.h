#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/Launcher.h"
#include "platform/MainQueue.h"

namespace tessary {

// Runs the opener (xdg-open) fully detached: its own session, reaped by init, never waited for.
// A watcher process between the two reports through a pipe whether the opener could not be run or
// ended with a failure; the main queue polls that pipe until the report comes or the opener has run
// long enough to count as opened (some openers stay until the document is closed).
class XdgOpenLauncher final : public Launcher {
public:
    static constexpr std::chrono::milliseconds kPollInterval{100};
    static constexpr std::chrono::milliseconds kRunningCountsAsOpened{5000};

    explicit XdgOpenLauncher(std::shared_ptr<MainQueue> mainQueue, std::string opener = "xdg-open",
                             std::chrono::milliseconds runningCountsAsOpened = kRunningCountsAsOpened);
    void open(const std::string& urlOrPath, Opened opened) override;

private:
    std::shared_ptr<MainQueue> mainQueue_;
    std::string opener_;
    std::chrono::milliseconds runningCountsAsOpened_;
};

}  // namespace tessary
