#include "platform/linux/ApplicationTracker.h"

#include <algorithm>
#include <utility>

namespace tessary {

ApplicationTracker::ApplicationTracker(std::shared_ptr<const ProcessHandles> handles,
                                       const ApplicationClassifier& classifier, uid_t user,
                                       std::chrono::milliseconds recentPeriod, Clock clock)
    : handles_(std::move(handles)),
      proc_(handles_->proc()),
      classifier_(classifier),
      user_(user),
      recentPeriod_(recentPeriod),
      clock_(std::move(clock))
{
}

std::optional<ApplicationTracker::Candidate> ApplicationTracker::open(pid_t pid, std::uint64_t inode,
                                                                     bool* absent) const
{
    // The descriptor first: facts read while it still names a live process are that process's.
    // It is let go at once; instances hold descriptors, processes do not.
    const auto opened = handles_->openCurrent(pid);
    if (opened.outcome == ProcessHandles::Outcome::ended || opened.outcome == ProcessHandles::Outcome::thread) {
        if (absent != nullptr)
            *absent = opened.outcome == ProcessHandles::Outcome::ended;
        return std::nullopt;
    }
    auto facts = proc_.read(pid);
    if (!facts || (opened.descriptor && opened.descriptor->hasExited()))
        return std::nullopt;
    return Candidate{std::move(*facts), inode, clock_()};
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
            forget(entry.pid, changes);
        }
        if (auto candidate = open(entry.pid, entry.inode, nullptr))
            candidates.push_back(std::move(*candidate));
    }
    std::vector<pid_t> left;
    for (const auto& [pid, seen] : seen_)
        if (!listed.contains(pid))
            left.push_back(pid);
    for (const pid_t pid : left)
        forget(pid, changes);
    const std::vector<std::shared_ptr<ProcessApplication>> unwatched(unwatched_.begin(), unwatched_.end());
    for (const auto& application : unwatched)
        rewatch(application, changes);

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
            forget(pid, changes);
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
    Seen seen;
    seen.inode = candidate.inode;
    seen.startTime = facts.startTime;
    seen.executable = facts.executable;
    seen.command = facts.command;
    seen.cgroup = facts.cgroup;
    seen.firstSeen = candidate.firstSeen;
    seen.mayChange = facts.uid == user_ && !(facts.executable.empty() && facts.arguments.empty());
    // New processes are looked at on every look for a while: a wrapper's exec, a child of the
    // agent that still shows the agent's image, a launcher moving its child into a unit.
    if (report && seen.mayChange && clock_() - seen.firstSeen <= recentPeriod_)
        recent_.insert(facts.pid);
    if (classifier_.isExcluded(facts)) {
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
        // A program that entered another application's unit from outside is both; the blocker judges
        // each. One an application started inside its own unit is just itself.
        const bool enteredUnit = unitId && (!hasParent || parent->second.cgroup != facts.cgroup);
        std::vector<std::string> otherIds;
        for (const auto& id : {ownId, enteredUnit ? unitId : std::nullopt})
            if (id && *id != *launchedId && std::find(otherIds.begin(), otherIds.end(), *id) == otherIds.end())
                otherIds.push_back(*id);
        application = std::make_shared<ProcessApplication>(
            *launchedId, classifier_.displayName(*launchedId, facts), std::move(otherIds), handles_);
        if (unitId && *launchedId == *unitId)
            units_[facts.cgroup] = application;
        if (report)
            changes.push_back(Change{true, application});
    }
    if (!application) {
        // Mid-exec, the new image shows before its arguments do: read it again next look,
        // whatever its executable.
        seen.unsettled = report && facts.arguments.empty();
        seen_[facts.pid] = std::move(seen);
        return;
    }
    application->addProcess(ProcessIdentity{facts.pid, facts.startTime});
    seen.application = application;
    seen_[facts.pid] = std::move(seen);
    if (!isWatched(application.get()))
        rewatch(application, changes);
}

void ApplicationTracker::recheckRecent(bool checkUnits, std::vector<Change>& changes)
{
    const auto now = clock_();
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

void ApplicationTracker::recheckAll(std::vector<Change>& changes)
{
    std::vector<std::pair<std::uint64_t, pid_t>> due;
    for (const auto& [pid, seen] : seen_)
        if (seen.mayChange && hasChanged(pid, seen, false))
            due.emplace_back(seen.startTime, pid);
    std::sort(due.begin(), due.end());
    for (const auto& [startTime, pid] : due)
        refresh(pid, false, changes);
}

bool ApplicationTracker::hasChanged(pid_t pid, const Seen& seen, bool checkUnits) const
{
    if (seen.unsettled)
        return true;
    const auto executable = proc_.executable(pid);
    if (executable != seen.executable)
        return true;
    // Where the executable link is unreadable, the command name still changes with an exec.
    if (executable.empty() && proc_.command(pid) != seen.command)
        return true;
    return checkUnits && proc_.cgroup(pid) != seen.cgroup;
}

bool ApplicationTracker::stillBelongs(const ProcessFacts& facts, const Seen& seen) const
{
    if (classifier_.isExcluded(facts))
        return false;
    const auto& id = seen.application->id();
    if (const auto ownId = classifier_.programId(facts); ownId && *ownId != id)
        return false;
    const auto unitId = classifier_.unitId(facts);
    return !unitId || facts.cgroup == seen.cgroup || *unitId == id;
}

void ApplicationTracker::refresh(pid_t pid, bool checkUnits, std::vector<Change>& changes)
{
    const auto found = seen_.find(pid);
    if (found == seen_.end() || !found->second.mayChange || !hasChanged(pid, found->second, checkUnits))
        return;
    auto candidate = open(pid, found->second.inode, nullptr);
    if (!candidate) {
        forget(pid, changes);
        return;
    }
    auto& seen = found->second;
    if (candidate->facts.startTime == seen.startTime) {
        // An exec that leaves the process in its instance (a program that is no other
        // application's) changes only the record.
        if (seen.application && stillBelongs(candidate->facts, seen)) {
            seen.executable = candidate->facts.executable;
            seen.command = candidate->facts.command;
            seen.cgroup = candidate->facts.cgroup;
            seen.unsettled = false;
            return;
        }
        // Keeps its first sighting, so a process that keeps changing is not watched for ever.
        candidate->firstSeen = seen.firstSeen;
    }
    forget(pid, changes);
    admit(std::move(*candidate), true, changes);
}

void ApplicationTracker::forget(pid_t pid, std::vector<Change>& changes)
{
    const auto found = seen_.find(pid);
    if (found == seen_.end())
        return;
    const auto application = std::move(found->second.application);
    const ProcessIdentity process{pid, found->second.startTime};
    seen_.erase(found);
    recent_.erase(pid);
    if (!application)
        return;
    const bool last = application->removeProcess(process);
    const auto watch = std::find_if(watches_.begin(), watches_.end(),
                                    [&](const auto& item) { return item.second.process == process; });
    if (watch != watches_.end())
        watches_.erase(watch);
    if (last)
        ended(application, changes);
    else if (!isWatched(application.get()))
        rewatch(application, changes);
}

void ApplicationTracker::rewatch(const std::shared_ptr<ProcessApplication>& application, std::vector<Change>& changes)
{
    for (const auto& process : application->processes()) {
        if (auto descriptor = handles_->open(process)) {
            const int fd = descriptor->descriptor();
            watches_.emplace(fd, Watch{application, process, std::move(*descriptor)});
            unwatched_.erase(application);
            return;
        }
        if (proc_.isRunning(process)) {
            // Alive, but no descriptor to be had: the instance is looked at with each listing.
            unwatched_.insert(application);
            return;
        }
        if (const auto found = seen_.find(process.pid); found != seen_.end() && found->second.startTime == process.startTime) {
            seen_.erase(found);
            recent_.erase(process.pid);
        }
        application->removeProcess(process);
    }
    ended(application, changes);
}

bool ApplicationTracker::isWatched(const ProcessApplication* application) const
{
    return std::any_of(watches_.begin(), watches_.end(),
                       [application](const auto& item) { return item.second.application.get() == application; });
}

void ApplicationTracker::ended(const std::shared_ptr<ProcessApplication>& application, std::vector<Change>& changes)
{
    unwatched_.erase(application);
    std::erase_if(units_, [&application](const auto& unit) { return unit.second.lock() == application; });
    changes.push_back(Change{false, application});
}

bool ApplicationTracker::hasUnsettled() const
{
    return std::any_of(recent_.begin(), recent_.end(), [this](pid_t pid) {
        const auto found = seen_.find(pid);
        return found != seen_.end() && found->second.unsettled;
    });
}

std::vector<std::shared_ptr<ProcessApplication>> ApplicationTracker::applications() const
{
    std::vector<std::shared_ptr<ProcessApplication>> found;
    for (const auto& [pid, seen] : seen_)
        if (seen.application && std::ranges::find(found, seen.application) == found.end())
            found.push_back(seen.application);
    return found;
}

std::vector<int> ApplicationTracker::exitDescriptors() const
{
    std::vector<int> descriptors;
    descriptors.reserve(watches_.size());
    for (const auto& [descriptor, watch] : watches_)
        descriptors.push_back(descriptor);
    return descriptors;
}

void ApplicationTracker::processExited(int descriptor, std::vector<Change>& changes)
{
    const auto found = watches_.find(descriptor);
    if (found == watches_.end())
        return;
    const auto process = found->second.process;
    const auto application = found->second.application;
    watches_.erase(found);
    // The PID may already name a newer process, which keeps its own record.
    if (const auto seen = seen_.find(process.pid); seen != seen_.end() && seen->second.startTime == process.startTime) {
        forget(process.pid, changes);
    } else if (application->removeProcess(process)) {
        ended(application, changes);
    } else {
        rewatch(application, changes);
    }
}

}  // namespace tessary
