#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/Workspace.h"

namespace tessary::testing {

// A workspace the test drives: it delivers launches and terminations to its observers.
class FakeWorkspace final : public Workspace {
public:
    void addObserver(std::weak_ptr<WorkspaceObserver> observer) override { observers.push_back(std::move(observer)); }
    void removeObserver(const WorkspaceObserver* observer) override
    {
        std::erase_if(observers, [observer](const auto& held) { return held.lock().get() == observer; });
    }

    std::vector<std::shared_ptr<RunningApplication>> runningApplications() const override { return running; }

    void launch(const std::shared_ptr<RunningApplication>& application)
    {
        running.push_back(application);
        for (const auto& held : std::vector(observers))
            if (auto observer = held.lock())
                observer->appDidLaunch(application);
    }
    void terminate(const std::shared_ptr<RunningApplication>& application)
    {
        std::erase(running, application);
        for (const auto& held : std::vector(observers))
            if (auto observer = held.lock())
                observer->appDidTerminate(application);
    }

    std::vector<std::weak_ptr<WorkspaceObserver>> observers;
    std::vector<std::shared_ptr<RunningApplication>> running;
};

}  // namespace tessary::testing
