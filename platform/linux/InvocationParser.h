#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// Tells what a command finally runs (a program, or a script, module, jar or Flatpak ID behind an
// interpreter or launcher) from a desktop entry's Exec= value, a running process's arguments or
// a "#!" line, seeing through env, "sh -c" strings and each interpreter's options.
class InvocationParser {
public:
    // What a command line finally runs, as identification sees it.
    struct Invocation {
        enum class Kind { program, script, module, jar, flatpak };
        Kind kind = Kind::program;
        // Canonical: the program itself, or the interpreter or launcher that runs the operand.
        std::filesystem::path program;
        // The script or jar (absolute when its folder is known, else as written), the module
        // name, or the Flatpak ID.
        std::string operand;
        // The shells, interpreters and launchers on the way to what finally runs, canonical.
        std::vector<std::filesystem::path> launchers;
    };

    // What an Exec= value (its string escapes undone) finally runs; absent when that cannot be
    // told, or when an interpreter runs nothing named.
    static std::optional<Invocation> invocationOf(const std::string& exec, const std::string& searchPath,
                                                  const std::filesystem::path& folder = {});
    // What a running process runs, from its canonical program and its arguments (argv[0] first):
    // the program, or for an interpreter or Flatpak launcher its operand as written.
    static Invocation runningInvocation(const std::filesystem::path& program,
                                        const std::vector<std::string>& arguments);
    // The interpreter a script's first line names as written ("#!/usr/bin/env NAME" gives NAME,
    // for the search path to find); absent when it is no "#!" line.
    static std::optional<std::string> shebangInterpreter(std::string_view firstLine);
    // Where a script or jar lies, a relative one resolved against folder: canonical where it
    // exists, else in normal form (processes may name scripts that are gone or that lie behind
    // symbolic links). Relative, in normal form, when there is no folder to resolve it against.
    static std::filesystem::path operandPath(const std::string& operand, const std::filesystem::path& folder);
    // A program name resolved as exec would (absolute, relative to folder, or on the search
    // path) to a canonical executable file.
    static std::optional<std::filesystem::path>
    resolveProgram(const std::string& program, const std::string& searchPath, const std::filesystem::path& folder = {});
    // "python", "shell", "java", ... for interpreters and launchers (by file name, versions
    // ignored); empty for other programs.
    static std::string interpreterFamily(const std::filesystem::path& program);
};

}  // namespace tessary
