#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RunningApplication.h"
#include "platform/linux/ProcessHandles.h"
#include "platform/linux/ProcessIdentity.h"

namespace tessary {

// One running instance of an application: the processes recorded as its own. They are held by
// identity, not by descriptor, so an instance with many processes costs no descriptors; each is
// reached through a fresh descriptor when it is to be killed. The watcher's thread adds and
// removes processes; forceTerminate comes from the main thread.
class ProcessApplication final : public RunningApplication {
public:
    ProcessApplication(std::string id, std::string name, std::vector<std::string> otherIds,
                       std::shared_ptr<const ProcessHandles> handles);

    std::optional<std::string> bundleIdentifier() const override { return id_; }
    std::optional<std::string> localizedName() const override { return name_; }
    std::vector<std::string> otherIdentifiers() const override { return otherIds_; }
    bool forceTerminate() override;

    const std::string& id() const { return id_; }
    // A process joining an instance that was already force-terminated is killed at once, so
    // a child forked just before the kill does not keep the application alive.
    void addProcess(const ProcessIdentity& process);
    // Returns true when it was the last one.
    bool removeProcess(const ProcessIdentity& process);
    std::vector<ProcessIdentity> processes() const;

private:
    const std::string id_;
    const std::string name_;
    const std::vector<std::string> otherIds_;
    const std::shared_ptr<const ProcessHandles> handles_;
    mutable std::mutex mutex_;
    std::vector<ProcessIdentity> processes_;
    bool terminated_ = false;
};

}  // namespace tessary
