#include "platform/linux/SystemctlServiceManager.h"

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

#include "platform/linux/BoundedCommand.h"

namespace tessary {

namespace {

using Properties = std::map<std::string, std::string>;

// systemctl show prints one block of Name=value lines per unit, blocks apart by an empty line.
std::map<std::string, Properties> unitsShown(const std::string& output)
{
    std::map<std::string, Properties> units;
    Properties block;
    const auto finish = [&] {
        if (const auto id = block.find("Id"); id != block.end())
            units[id->second] = block;
        block.clear();
    };
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            finish();
            continue;
        }
        if (const auto equals = line.find('='); equals != std::string::npos)
            block[line.substr(0, equals)] = line.substr(equals + 1);
    }
    finish();
    return units;
}

bool hasDisplay(const std::string& environment)
{
    std::istringstream lines(environment);
    std::string line;
    while (std::getline(lines, line))
        for (const std::string_view name : {"DISPLAY=", "WAYLAND_DISPLAY="})
            if (line.size() > name.size() && line.starts_with(name))
                return true;
    return false;
}

}  // namespace

SystemctlServiceManager::SystemctlServiceManager(std::string unitName, std::vector<std::filesystem::path> unitPaths,
                                                 std::string systemctl, std::chrono::milliseconds limit)
    : unitName_(std::move(unitName)), unitPaths_(std::move(unitPaths)), systemctl_(std::move(systemctl)),
      limit_(limit)
{
}

std::optional<std::string> SystemctlServiceManager::run(std::vector<std::string> arguments) const
{
    arguments.insert(arguments.begin(), {systemctl_, "--user"});
    const auto result = BoundedCommand::run(arguments, limit_);
    if (!result || result->exitStatus != 0)
        return std::nullopt;
    return result->output;
}

bool SystemctlServiceManager::canStartKeepAliveAgent()
{
    const auto shown = run({"show", "--property=Id", "--property=ActiveState", "--property=FragmentPath",
                            "graphical-session.target", unitName_});
    if (!shown)
        return false;
    auto units = unitsShown(*shown);
    const auto session = units.find("graphical-session.target");
    const auto unit = units.find(unitName_);
    if (session == units.end() || unit == units.end() || session->second["ActiveState"] != "active")
        return false;
    // A manager that reads its units from another folder (another home, a test's) would start
    // some other unit of that name, or none.
    const auto& fragment = unit->second["FragmentPath"];
    if (std::none_of(unitPaths_.begin(), unitPaths_.end(), [&](const std::filesystem::path& path) {
            std::error_code error;
            return std::filesystem::equivalent(fragment, path, error) && !error;
        }))
        return false;
    // The agent needs the session's display, which the session hands to the manager as it starts.
    const auto environment = run({"show-environment"});
    return environment && hasDisplay(*environment);
}

bool SystemctlServiceManager::startKeepAliveAgent()
{
    return run({"start", "--no-block", unitName_}).has_value();
}

void SystemctlServiceManager::reloadDefinitions()
{
    // The manager reloads even when this call gives up waiting for it.
    (void)run({"daemon-reload"});
}

}  // namespace tessary
