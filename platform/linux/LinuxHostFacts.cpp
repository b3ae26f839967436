#include "platform/linux/LinuxHostFacts.h"

#include <climits>
#include <fstream>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace tessary {

namespace {

// machine-info is an environment-style file: PRETTY_HOSTNAME="Anna's laptop".
std::optional<std::string> prettyHostname(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
    while (std::getline(in, line)) {
        if (line.rfind(kKey, 0) != 0)
            continue;
        std::string value = line.substr(kKey.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string unescaped;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            unescaped += value[i];
        }
        if (!unescaped.empty())
            return unescaped;
    }
    return std::nullopt;
}

}  // namespace

LinuxHostFacts::LinuxHostFacts(std::filesystem::path machineInfo) : machineInfo_(std::move(machineInfo)) {}

std::optional<std::string> LinuxHostFacts::computerName()
{
    if (auto pretty = prettyHostname(machineInfo_))
        return pretty;
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return std::nullopt;
    return std::string(name);
}

std::string LinuxHostFacts::userName()
{
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name != nullptr)
        return entry->pw_name;
    return std::to_string(::geteuid());
}

}  // namespace tessary
