#include "platform/linux/ApplicationTracker.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tessary {

ApplicationTracker::ApplicationTracker(const ProcFileSystem& proc, const ApplicationClassifier& classifier,
                                       std::chrono::milliseconds recentPeriod)
    : proc_(proc), classifier_(classifier), recentPeriod_(recentPeriod)
{
}

std::optional<ApplicationTracker::Candidate> ApplicationTracker::open(pid_t pid, std::uint64_t inode,
                                                                     bool* absent) const
{
    // The descriptor first: facts read while it still names a live process are that process's.
    auto process = Pidfd::open(pid);
    if (!process) {
        // ESRCH: no such process (yet); a thread's ID gives EINVAL instead.
        if (absent != nullptr)
            *absent = errno == ESRCH;
        return std::nullopt;
    }
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
        if (auto candidate = open(entry.pid, entry.inode, nullptr))
            candidates.push_back(std::move(*candidate));
    }
    // Processes that were no application are forgotten when they leave /proc; tracked ones
    // when their descriptor reports the exit.
    std::erase_if(seen_, [&](const auto& item) { return !item.second.application && !listed.contains(item.first); });
    std::erase_if(recent_, [&](pid_t pid) { return !seen_.contains(pid); });

    const bool report = initialScanDone_;
    admitAll(std::move(candidates), report, changes);
    initialScanDone_ = true;
}

void ApplicationTracker::admitAll(std::vector<Candidate> candidates, bool report, std::vector<Change>& changes)
{
    // Parents before children, so a child finds the instance its parent belongs to.
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.facts.startTime < b.facts.startTime; });
    for (auto& candidate : candidates)
        admit(std::move(candidate), report, changes);
}

void ApplicationTracker::probe(pid_t first, pid_t last, std::vector<Change>& changes)
{
    std::vector<pid_t> pids(std::exchange(unborn_, {}));
    for (pid_t pid = first; pid <= last; ++pid)
        pids.push_back(pid);
    std::vector<Candidate> candidates;
    std::vector<pid_t> retry;
    for (const pid_t pid : pids) {
        bool absent = false;
        auto candidate = open(pid, 0, &absent);
        if (!candidate) {
            // Numbered before it was attached, or already gone: one more look next time.
            if (absent && pid >= first)
                retry.push_back(pid);
            continue;
        }
        // A PID handed out since the last look: what was recorded under it is an earlier process.
        if (const auto found = seen_.find(pid); found != seen_.end()) {
            if (found->second.startTime == candidate->facts.startTime)
                continue;
            seen_.erase(found);
            recent_.erase(pid);
        }
        candidates.push_back(std::move(*candidate));
    }
    unborn_ = std::move(retry);
    admitAll(std::move(candidates), true, changes);
}

std::shared_ptr<ProcessApplication> ApplicationTracker::unitApplication(const std::string& cgroup) const
{
    const auto found = units_.find(cgroup);
    return found == units_.end() ? nullptr : found->second.lock();
}

void ApplicationTracker::admit(Candidate candidate, bool report, std::vector<Change>& changes)
{
    const auto& facts = candidate.facts;
    Seen seen{candidate.inode, facts.startTime, facts.executable, facts.cgroup, nullptr, candidate.firstSeen, false};
    if (classifier_.isExcluded(facts)) {
        // A child of the agent still shows the agent's image until its exec: keep looking at it.
        // Unreadable images (kernel threads, other users) never change for us.
        if (report && !facts.executable.empty())
            recent_.insert(facts.pid);
        seen_[facts.pid] = std::move(seen);
        return;
    }

    // A forked child carries its parent's image and arguments: settle the parent first, or the
    // child would be taken for the launch and the parent for a second one.
    if (report)
        refresh(facts.parentPid, true, changes);
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
        // Mid-exec, the new image shows before its arguments do: leave it unsettled, so the
        // next look reads it again whatever its executable.
        seen.unsettled = facts.arguments.empty();
        recent_.insert(facts.pid);
    }
    seen_[facts.pid] = std::move(seen);
}

void ApplicationTracker::recheckRecent(bool checkUnits, std::vector<Change>& changes)
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<std::uint64_t, pid_t>> due;
    for (auto it = recent_.begin(); it != recent_.end();) {
        const auto found = seen_.find(*it);
        if (found == seen_.end() || now - found->second.firstSeen > recentPeriod_) {
            it = recent_.erase(it);
            continue;
        }
        due.emplace_back(found->second.startTime, *it);
        ++it;
    }
    // Parents before children, as when they were first read.
    std::sort(due.begin(), due.end());
    for (const auto& [startTime, pid] : due)
        refresh(pid, checkUnits, changes);
}

void ApplicationTracker::refresh(pid_t pid, bool checkUnits, std::vector<Change>& changes)
{
    const auto found = seen_.find(pid);
    if (found == seen_.end() || !recent_.contains(pid))
        return;
    if (!found->second.unsettled && proc_.executable(pid) == found->second.executable &&
        (!checkUnits || proc_.cgroup(pid) == found->second.cgroup))
        return;
    const auto inode = found->second.inode;
    const auto firstSeen = found->second.firstSeen;
    seen_.erase(found);
    recent_.erase(pid);
    if (auto candidate = open(pid, inode, nullptr)) {
        // Keeps its first sighting, so a process that keeps changing is not watched for ever.
        candidate->firstSeen = firstSeen;
        admit(std::move(*candidate), true, changes);
    }
}

bool ApplicationTracker::hasUnsettled() const
{
    return std::any_of(recent_.begin(), recent_.end(), [this](pid_t pid) {
        const auto found = seen_.find(pid);
        return found != seen_.end() && found->second.unsettled;
    });
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
        std::erase_if(units_, [&ended = application](const auto& unit) { return unit.second.lock() == ended; });
        changes.push_back(Change{false, application});
    }
}

}  // namespace tessary
