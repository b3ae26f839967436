#pragma once

#include <memory>

#include "platform/RunningApplication.h"

namespace tessary {

// Receives the workspace's launch and termination notifications, always on the main thread.
// The application may be absent when the notification carries none.
class WorkspaceObserver {
public:
    virtual ~WorkspaceObserver() = default;
    virtual void appDidLaunch(const std::shared_ptr<RunningApplication>& application) = 0;
    virtual void appDidTerminate(const std::shared_ptr<RunningApplication>& application) = 0;
};

}  // namespace tessary
