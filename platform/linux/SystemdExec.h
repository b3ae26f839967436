#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessary {

// The program of a systemd ExecStart= line, as written in a unit file.
class SystemdExec {
public:
    // systemd expands % specifiers in the program path (so % is doubled) but not variables (so $
    // stays as it is), splits at white space (so such a path is quoted), and refuses a program
    // path holding control characters, quotes or backslashes, or that is not absolute UTF-8:
    // absent for those.
    static std::optional<std::string> program(const std::filesystem::path& executable);
};

}  // namespace tessary
