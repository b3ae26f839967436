#pragma once

#include <string>

namespace tessary {

// Quoting of one argument for an Exec= line (desktop entries and systemd units alike).
class DesktopExec {
public:
    static std::string quote(const std::string& argument);
};

}  // namespace tessary
