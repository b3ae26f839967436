#include "platform/linux/SystemdExec.h"

#include "platform/Utf8.h"

namespace tessary {

std::optional<std::string> SystemdExec::program(const std::filesystem::path& executable)
{
    const auto& path = executable.native();
    if (!executable.is_absolute() || !Utf8::isValid(path))
        return std::nullopt;
    std::string written;
    bool needsQuotes = false;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '\\')
            return std::nullopt;
        if (c == ' ')
            needsQuotes = true;
        if (c == '%')
            written += '%';
        written += c;
    }
    return needsQuotes ? "\"" + written + "\"" : written;
}

}  // namespace tessary
