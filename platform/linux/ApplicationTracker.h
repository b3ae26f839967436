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

    // Reads the processes not seen before. The first scan only learns what already runs.
    void scan(std::vector<Change>& changes);
    // Looks again at recently started processes that were no application: a wrapper may have
    // exec'd the real program since, or the launcher moved it into its unit.
    void recheckRecent(std::vector<Change>& changes);
    bool hasRecent() const { return !recent_.empty(); }

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
    };
    struct Candidate {
        Pidfd process;
        ProcessFacts facts;
        std::uint64_t inode;
        std::chrono::steady_clock::time_point firstSeen;
    };

    std::optional<Candidate> open(pid_t pid, std::uint64_t inode) const;
    void admit(Candidate candidate, bool report, std::vector<Change>& changes);
    std::shared_ptr<ProcessApplication> unitApplication(const std::string& cgroup) const;

    const ProcFileSystem& proc_;
    const ApplicationClassifier& classifier_;
    std::chrono::milliseconds recentPeriod_;
    bool initialScanDone_ = false;
    std::unordered_map<pid_t, Seen> seen_;
    std::unordered_set<pid_t> recent_;
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
