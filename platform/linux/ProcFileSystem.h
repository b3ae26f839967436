#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sys/types.h>
#include <vector>

#include "platform/linux/ProcessFacts.h"
#include "platform/linux/ProcessIdentity.h"
#include "platform/linux/ScopedFd.h"

namespace tessary {

// Reads processes from a /proc tree (the real one, or a synthetic one in tests).
class ProcFileSystem {
public:
    struct Entry {
        pid_t pid;
        // The inode of /proc/PID: it changes when the PID is taken by a new process.
        std::uint64_t inode;
    };

    explicit ProcFileSystem(std::filesystem::path root);
    ProcFileSystem(const ProcFileSystem&) = delete;
    ProcFileSystem& operator=(const ProcFileSystem&) = delete;

    std::vector<Entry> list() const;
    // Absent when the process is gone or its stat line cannot be read.
    std::optional<ProcessFacts> read(pid_t pid) const;
    std::optional<std::uint64_t> startTime(pid_t pid) const;
    // The recorded process still holds its PID and has not ended (a zombie has ended).
    bool isRunning(const ProcessIdentity& process) const;
    // Whether the ID names a process rather than one of its threads; absent when it names nothing.
    std::optional<bool> isThreadGroupLeader(pid_t pid) const;
    // The kernel's command name, which an exec changes even where the executable link is unreadable.
    std::string command(pid_t pid) const;
    std::filesystem::path executable(pid_t pid) const;
    std::string cgroup(pid_t pid) const;
    // The most recently created PID in this PID namespace (from loadavg): a cheap test for
    // whether anything was created since the last look. Absent when the tree has no loadavg.
    std::optional<pid_t> lastCreatedPid() const;

private:
    struct StatLine {
        pid_t parentPid;
        std::uint64_t startTime;
        std::string command;
        char state;
    };
    std::optional<StatLine> readStat(pid_t pid) const;
    std::filesystem::path processFolder(pid_t pid) const;

    std::filesystem::path root_;
    ScopedFd loadavg_;
};

}  // namespace tessary
