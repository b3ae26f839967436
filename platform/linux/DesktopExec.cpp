#include "platform/linux/DesktopExec.h"

#include <string_view>

namespace tessary {

namespace {

// The string-level escapes of a desktop entry value.
void appendEscaped(std::string& out, char c)
{
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    default: out += c;
    }
}

}  // namespace

std::string DesktopExec::quote(const std::string& argument)
{
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string quoted;
    const bool needsQuotes = argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
    if (needsQuotes)
        quoted += '"';
    for (const char c : argument) {
        if (c == '%') {
            quoted += "%%";
            continue;
        }
        if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\'))
            appendEscaped(quoted, '\\');
        appendEscaped(quoted, c);
    }
    if (needsQuotes)
        quoted += '"';
    return quoted;
}

}  // namespace tessary
