#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/InvocationParser.h"

namespace tessary {

// The installed desktop entries: each application's ID (the desktop file ID without
// ".desktop"), its Name, and what its visible entries run (a program, or a script, module, jar
// or Flatpak ID behind an interpreter or launcher), so that a process can be recognised however
// it was started.
class DesktopEntryIndex {
public:
    struct Roots {
        // In order of precedence: XDG_DATA_HOME, then XDG_DATA_DIRS; "applications" below each.
        std::vector<std::filesystem::path> dataDirs;
        // Folders holding "autostart" entries (XDG_CONFIG_HOME, /etc/xdg).
        std::vector<std::filesystem::path> configDirs;
        // The PATH that resolves a bare program name in Exec=.
        std::string searchPath;
    };

    using Invocation = InvocationParser::Invocation;

    DesktopEntryIndex() = default;
    static DesktopEntryIndex load(const Roots& roots);

    // The Name of the entry that takes precedence for this ID (absent when that one is hidden).
    std::optional<std::string> nameFor(const std::string& id) const;
    bool hasApplication(const std::string& id) const;
    // Some data folder holds a visible application entry with this ID; an entry the user hides
    // does not take that away.
    bool isVisibleApplication(const std::string& id) const;
    // The application whose visible entry starts this program (a canonical path). Entries of
    // every data folder count, the system's before the user's.
    std::optional<std::string> idForProgram(const std::filesystem::path& program) const;
    // The application whose visible entry runs what a process runs (see
    // InvocationParser::runningInvocation); relative scripts and jars resolve against the
    // process's working folder when known.
    std::optional<std::string> idForInvocation(const Invocation& running,
                                               const std::filesystem::path& workingFolder) const;
    // The application whose visible entry starts this program, a "#!" script, when this
    // interpreter (or another of its family) runs it.
    std::optional<std::string> idForScript(const std::filesystem::path& script,
                                           const std::filesystem::path& interpreter) const;
    // Started by the session's autostart and not a visible application: session infrastructure,
    // never an application launch.
    bool isSessionAutostart(const std::string& id) const;
    // Every program whose exec can start or become an identified application: the entries'
    // programs and the interpreters, shells and launchers their Exec lines go through.
    std::set<std::filesystem::path> triggerPrograms() const;
    // The folders of every trigger program.
    std::set<std::filesystem::path> programFolders() const;
    // One line per entry file whose malformed lines were skipped, naming the file.
    const std::vector<std::string>& malformedEntries() const { return malformedEntries_; }

private:
    struct OperandClaim {
        Invocation::Kind kind;
        std::filesystem::path interpreter;
        std::string family;
        std::string operand;
        // Written relative with no folder to resolve it: matches the end of the process's path.
        bool relative;
        std::string id;
    };
    struct ScriptInterpreter {
        std::filesystem::path program;  // canonical; empty when it cannot be found
        std::string family;
    };
    void addProgram(const std::filesystem::path& program, const std::string& id, const std::string& searchPath);
    void addClaims(const std::string& id, const std::string& exec, const std::string& tryExec,
                   const std::filesystem::path& folder, const std::string& searchPath);

    std::map<std::string, std::string> names_;
    std::set<std::string> visibleIds_;
    std::map<std::filesystem::path, std::string> programs_;
    std::vector<OperandClaim> operandClaims_;
    std::map<std::filesystem::path, ScriptInterpreter> scriptInterpreters_;
    std::set<std::filesystem::path> triggers_;
    std::set<std::string> autostartIds_;
    std::vector<std::string> malformedEntries_;
};

}  // namespace tessary
