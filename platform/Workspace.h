#pragma once

#include <memory>
#include <vector>

#include "platform/WorkspaceObserver.h"

namespace tessary {

// The login session's applications: launches and terminations, delivered on the main queue.
class Workspace {
public:
    virtual ~Workspace() = default;
    // Main thread. The observer is held weakly: a destroyed observer simply stops receiving.
    virtual void addObserver(std::weak_ptr<WorkspaceObserver> observer) = 0;
    // Main thread. No notification reaches the observer after this returns.
    virtual void removeObserver(const WorkspaceObserver* observer) = 0;
    // Main thread. The applications running now, as far as notifications have been delivered.
    virtual std::vector<std::shared_ptr<RunningApplication>> runningApplications() const = 0;
};

}  // namespace tessary
