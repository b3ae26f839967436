#include "platform/linux/ProcessApplication.h"

#include <algorithm>

namespace tessary {

ProcessApplication::ProcessApplication(std::string id, std::string name, std::vector<std::string> otherIds,
                                       std::shared_ptr<const ProcessHandles> handles)
    : id_(std::move(id)), name_(std::move(name)), otherIds_(std::move(otherIds)), handles_(std::move(handles))
{
}

bool ProcessApplication::forceTerminate()
{
    const std::lock_guard lock(mutex_);
    terminated_ = true;
    bool signalled = false;
    for (const auto& process : processes_)
        signalled = handles_->kill(process) || signalled;
    return signalled;
}

void ProcessApplication::addProcess(const ProcessIdentity& process)
{
    const std::lock_guard lock(mutex_);
    if (terminated_)
        handles_->kill(process);
    processes_.push_back(process);
}

bool ProcessApplication::removeProcess(const ProcessIdentity& process)
{
    const std::lock_guard lock(mutex_);
    std::erase(processes_, process);
    return processes_.empty();
}

std::vector<ProcessIdentity> ProcessApplication::processes() const
{
    const std::lock_guard lock(mutex_);
    return processes_;
}

}  // namespace tessary
