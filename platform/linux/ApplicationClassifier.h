#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>

#include "platform/linux/DesktopEntryIndex.h"
#include "platform/linux/ProcessFacts.h"

namespace tessary {

// Decides what one process is, from its facts alone: session infrastructure, an application
// unit's process, or the program of an installed application.
class ApplicationClassifier {
public:
    struct Exclusions {
        uid_t uid = 0;                           // only this user's session is watched
        pid_t agentPid = 0;
        std::filesystem::path agentBundle;       // the agent's helpers live below it
        std::set<std::string> agentIds;          // the agent's own application IDs
    };

    ApplicationClassifier(Exclusions exclusions, std::string searchPath);

    void setIndex(DesktopEntryIndex index) { index_ = std::move(index); }
    const DesktopEntryIndex& index() const { return index_; }

    // Never an application, nor part of one: other users, kernel threads, the agent itself and
    // the programs of its bundle, and what keeps the session running (the user manager's
    // session and background slices, D-Bus-activated services, autostart units) unless its own
    // program is an application's: moving a game into such a unit must not exempt it.
    bool isExcluded(const ProcessFacts& facts) const;
    // The application the process's own command names: its Flatpak ID (from its sandbox, or the
    // "flatpak run" that starts it), the entry whose program it runs, or the entry whose script,
    // module or jar its interpreter runs. Where the executable link is unreadable, argv[0]
    // stands for the program.
    std::optional<std::string> programId(const ProcessFacts& facts) const;
    // The application unit of the user's app.slice the process runs in, or the D-Bus
    // activation unit of a visible application.
    std::optional<std::string> unitId(const ProcessFacts& facts) const;
    // The entry's Name, else the command name; the ID when neither is UTF-8.
    std::string displayName(const std::string& id, const ProcessFacts& facts) const;

private:
    bool isInfrastructure(const ProcessFacts& facts) const;
    bool isAgentProgram(const ProcessFacts& facts) const;
    // The executable, or when that is unreadable the program argv[0] names.
    std::filesystem::path runningProgram(const ProcessFacts& facts) const;
    std::filesystem::path commandLineProgram(const ProcessFacts& facts) const;
    std::optional<std::string> scriptId(const ProcessFacts& facts, const std::filesystem::path& interpreter) const;
    bool isAgentId(const std::string& id) const { return exclusions_.agentIds.contains(id); }

    Exclusions exclusions_;
    std::string searchPath_;
    DesktopEntryIndex index_;
};

}  // namespace tessary
