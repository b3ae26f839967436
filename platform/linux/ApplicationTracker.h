#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/ApplicationClassifier.h"
#include "platform/linux/ProcFileSystem.h"
#include "platform/linux/ProcessApplication.h"

namespace tessary {

// The watcher's record of the session's processes: which belong to which running application,
// read incrementally (only processes not seen before). Used from one thread only.
class ApplicationTracker {
public:
    struct Change {
        bool launched;  // else terminated
        std::shared_ptr<ProcessApplication> application;
    };

    ApplicationTracker(const ProcFileSystem& proc, const ApplicationClassifier& classifier,
                       std::chrono::milliseconds recentPeriod);

    // Lists /proc and reads the processes not seen before; forgets those that left. The first
    // scan only learns what already runs.
    void scan(std::vector<Change>& changes);
    // Reads the processes numbered first..last (PIDs handed out since the last look), without
    // listing /proc. Threads are skipped; a PID not yet attached to its process is retried once.
    void probe(pid_t first, pid_t last, std::vector<Change>& changes);
    bool hasUnborn() const { return !unborn_.empty(); }
    // Looks again at recently started processes that were no application: a wrapper may have
    // exec'd the real program since, or (when checkUnits) the launcher moved it into its unit.
    void recheckRecent(bool checkUnits, std::vector<Change>& changes);
    bool hasRecent() const { return !recent_.empty(); }
    // A recent process was caught in the middle of an exec and must be read again.
    bool hasUnsettled() const;

    // The descriptors that become readable when a tracked process exits.
    std::vector<int> exitDescriptors() const;
    void processExited(int descriptor, std::vector<Change>& changes);

private:
    struct Seen {
        std::uint64_t inode = 0;
        std::uint64_t startTime = 0;
        std::filesystem::path executable;
        std::string cgroup;
        std::shared_ptr<ProcessApplication> application;
        std::chrono::steady_clock::time_point firstSeen;
        // Read in the middle of an exec: to be read again whatever its executable shows.
        bool unsettled = false;
    };
    struct Candidate {
        Pidfd process;
        ProcessFacts facts;
        std::uint64_t inode;
        std::chrono::steady_clock::time_point firstSeen;
    };

    std::optional<Candidate> open(pid_t pid, std::uint64_t inode, bool* absent) const;
    // Reads a recent process again when its image (or, with checkUnits, its unit) changed.
    void refresh(pid_t pid, bool checkUnits, std::vector<Change>& changes);
    void admitAll(std::vector<Candidate> candidates, bool report, std::vector<Change>& changes);
    void admit(Candidate candidate, bool report, std::vector<Change>& changes);
    std::shared_ptr<ProcessApplication> unitApplication(const std::string& cgroup) const;

    const ProcFileSystem& proc_;
    const ApplicationClassifier& classifier_;
    std::chrono::milliseconds recentPeriod_;
    bool initialScanDone_ = false;
    std::unordered_map<pid_t, Seen> seen_;
    std::unordered_set<pid_t> recent_;
    std::vector<pid_t> unborn_;
    // The instance started as each application unit's cgroup, for the unit's later processes.
    std::map<std::string, std::weak_ptr<ProcessApplication>> units_;
    struct Watched {
        pid_t pid;
        std::uint64_t startTime;
        std::shared_ptr<ProcessApplication> application;
    };
    std::map<int, Watched> exits_;
};

}  // namespace tessary
