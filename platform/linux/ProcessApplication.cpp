#include "platform/linux/ProcessApplication.h"

#include <algorithm>

namespace tessary {

ProcessApplication::ProcessApplication(std::string id, std::string name) : id_(std::move(id)), name_(std::move(name)) {}

bool ProcessApplication::forceTerminate()
{
    const std::lock_guard lock(mutex_);
    terminated_ = true;
    bool signalled = false;
    for (const auto& process : processes_)
        signalled = process.kill() || signalled;
    return signalled;
}

void ProcessApplication::addProcess(Pidfd process)
{
    const std::lock_guard lock(mutex_);
    if (terminated_)
        process.kill();
    processes_.push_back(std::move(process));
}

bool ProcessApplication::removeProcess(int descriptor)
{
    const std::lock_guard lock(mutex_);
    std::erase_if(processes_, [descriptor](const Pidfd& process) { return process.descriptor() == descriptor; });
    return processes_.empty();
}

}  // namespace tessary
