#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/RunningApplication.h"
#include "platform/linux/Pidfd.h"

namespace tessary {

// One running instance of an application: its processes, each held by a process descriptor.
// The watcher's thread adds and removes processes; forceTerminate comes from the main thread.
class ProcessApplication final : public RunningApplication {
public:
    ProcessApplication(std::string id, std::string name);

    std::optional<std::string> bundleIdentifier() const override { return id_; }
    std::optional<std::string> localizedName() const override { return name_; }
    bool forceTerminate() override;

    const std::string& id() const { return id_; }
    // A process joining an instance that was already force-terminated is killed at once, so
    // a child forked just before the kill does not keep the application alive.
    void addProcess(Pidfd process);
    // Closes the descriptor of a process that exited. Returns true when it was the last one.
    bool removeProcess(int descriptor);

private:
    const std::string id_;
    const std::string name_;
    std::mutex mutex_;
    std::vector<Pidfd> processes_;
    bool terminated_ = false;
};

}  // namespace tessary
