#include "platform/linux/DesktopExec.h"

namespace tessary {

std::string DesktopExec::quote(const std::string& argument)
{
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`%";
    if (!argument.empty() && argument.find_first_of(kReserved) == std::string::npos)
        return argument;
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace tessary
