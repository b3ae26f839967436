#include "platform/linux/ApplicationTracker.h"

#include <algorithm>

namespace tessary {

ApplicationTracker::ApplicationTracker(const ProcFileSystem& proc, const ApplicationClassifier& classifier,
                                       std::chrono::milliseconds recentPeriod)
    : proc_(proc), classifier_(classifier), recentPeriod_(recentPeriod)
{
}

std::optional<ApplicationTracker::Candidate> ApplicationTracker::open(pid_t pid, std::uint64_t inode) const
{
    // The descriptor first: facts read while it still names a live process are that process's.
    auto process = Pidfd::open(pid);
    if (!process)
        return std::nullopt;
    auto facts = proc_.read(pid);
    if (!facts || process->hasExited())
        return std::nullopt;
    return Candidate{std::move(*process), std::move(*facts), inode, std::chrono::steady_clock::now()};
}

void ApplicationTracker::scan(std::vector<Change>& changes)
{
    const auto entries = proc_.list();
    std::unordered_set<pid_t> listed;
    listed.reserve(entries.size());
    std::vector<Candidate> candidates;
    for (const auto& entry : entries) {
        listed.insert(entry.pid);
        const auto found = seen_.find(entry.pid);
        if (found != seen_.end()) {
            if (found->second.inode == entry.inode)
                continue;
            // A new /proc inode: either the same process re-read by the kernel, or a reused PID.
            const auto startTime = proc_.startTime(entry.pid);
            if (startTime && *startTime == found->second.startTime) {
                found->second.inode = entry.inode;
                continue;
            }
            seen_.erase(found);
            recent_.erase(entry.pid);
        }
        if (auto candidate = open(entry.pid, entry.inode))
            candidates.push_back(std::move(*candidate));
    }
    // Processes that were no application are forgotten when they leave /proc; tracked ones
    // when their descriptor reports the exit.
    std::erase_if(seen_, [&](const auto& item) { return !item.second.application && !listed.contains(item.first); });
    std::erase_if(recent_, [&](pid_t pid) { return !seen_.contains(pid); });

    // Parents before children, so a child finds the instance its parent belongs to.
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.facts.startTime < b.facts.startTime; });
    const bool report = initialScanDone_;
    for (auto& candidate : candidates)
        admit(std::move(candidate), report, changes);
    initialScanDone_ = true;
}

std::shared_ptr<ProcessApplication> ApplicationTracker::unitApplication(const std::string& cgroup) const
{
    const auto found = units_.find(cgroup);
    return found == units_.end() ? nullptr : found->second.lock();
}

void ApplicationTracker::admit(Candidate candidate, bool report, std::vector<Change>& changes)
{
    const auto& facts = candidate.facts;
    Seen seen{candidate.inode, facts.startTime, facts.executable, facts.cgroup, nullptr, candidate.firstSeen};
    if (classifier_.isExcluded(facts)) {
        seen_[facts.pid] = std::move(seen);
        return;
    }

    const auto ownId = classifier_.programId(facts);
    const auto unitId = classifier_.unitId(facts);
    const auto parent = seen_.find(facts.parentPid);
    const bool hasParent = parent != seen_.end();
    const auto parentApplication = hasParent ? parent->second.application : nullptr;
    const auto unitInstance = unitId ? unitApplication(facts.cgroup) : nullptr;
    const auto joins = [&](const std::shared_ptr<ProcessApplication>& application) {
        return application && (!ownId || *ownId == application->id());
    };

    std::shared_ptr<ProcessApplication> application;
    std::optional<std::string> launchedId;
    if (unitId && (!hasParent || parent->second.cgroup != facts.cgroup)) {
        // Entering the unit from outside: its first process is the launch, later ones join.
        if (joins(unitInstance))
            application = unitInstance;
        else
            launchedId = unitInstance ? ownId : unitId;
    } else if (joins(parentApplication)) {
        application = parentApplication;
    } else if (ownId) {
        launchedId = ownId;
    } else if (unitId) {
        if (unitInstance)
            application = unitInstance;
        else
            launchedId = unitId;
    }

    if (launchedId) {
        application = std::make_shared<ProcessApplication>(*launchedId, classifier_.displayName(*launchedId, facts));
        if (unitId && *launchedId == *unitId)
            units_[facts.cgroup] = application;
        if (report)
            changes.push_back(Change{true, application});
    }
    if (application) {
        exits_[candidate.process.descriptor()] = Watched{facts.pid, facts.startTime, application};
        application->addProcess(std::move(candidate.process));
        seen.application = application;
    } else if (report) {
        recent_.insert(facts.pid);
    }
    seen_[facts.pid] = std::move(seen);
}

void ApplicationTracker::recheckRecent(std::vector<Change>& changes)
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<Candidate> candidates;
    for (auto it = recent_.begin(); it != recent_.end();) {
        const pid_t pid = *it;
        auto found = seen_.find(pid);
        if (found == seen_.end() || now - found->second.firstSeen > recentPeriod_) {
            it = recent_.erase(it);
            continue;
        }
        if (proc_.executable(pid) == found->second.executable && proc_.cgroup(pid) == found->second.cgroup) {
            ++it;
            continue;
        }
        const auto inode = found->second.inode;
        const auto firstSeen = found->second.firstSeen;
        seen_.erase(found);
        it = recent_.erase(it);
        if (auto candidate = open(pid, inode)) {
            // Keeps its first sighting, so a process that keeps changing is not watched for ever.
            candidate->firstSeen = firstSeen;
            candidates.push_back(std::move(*candidate));
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.facts.startTime < b.facts.startTime; });
    for (auto& candidate : candidates)
        admit(std::move(candidate), true, changes);
}

std::vector<int> ApplicationTracker::exitDescriptors() const
{
    std::vector<int> descriptors;
    descriptors.reserve(exits_.size());
    for (const auto& [descriptor, watched] : exits_)
        descriptors.push_back(descriptor);
    return descriptors;
}

void ApplicationTracker::processExited(int descriptor, std::vector<Change>& changes)
{
    const auto watched = exits_.find(descriptor);
    if (watched == exits_.end())
        return;
    const auto [pid, startTime, application] = watched->second;
    exits_.erase(watched);
    // The PID may already name a newer process, which keeps its own record.
    if (const auto found = seen_.find(pid); found != seen_.end() && found->second.startTime == startTime)
        seen_.erase(found);
    if (application->removeProcess(descriptor)) {
        std::erase_if(units_, [&](const auto& unit) { return unit.second.lock() == application; });
        changes.push_back(Change{false, application});
    }
}

}  // namespace tessary
