#include "platform/linux/ApplicationClassifier.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/Utf8.h"
#include "platform/linux/ApplicationUnitName.h"
#include "platform/linux/InvocationParser.h"

namespace tessary {
namespace {

std::filesystem::path resolvedPath(const std::filesystem::path& path)
{
    std::error_code error;
    auto result = std::filesystem::canonical(path, error);
    return error ? std::filesystem::path() : result;
}

bool isBelow(const std::filesystem::path& path, const std::filesystem::path& folder)
{
    if (folder.empty() || path.empty())
        return false;
    const auto relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
}

// Where a process runs within the user's service manager, from its cgroup path.
struct ManagerPlace {
    bool inManager = false;
    // The manager's session.slice or background.slice: what keeps the desktop running.
    bool infrastructureSlice = false;
    std::string_view unit;
};

// "user@<UID>.service": only the user's own processes are classified, so the UID needs no check.
bool isUserManager(std::string_view component)
{
    constexpr std::string_view kPrefix = "user@";
    constexpr std::string_view kSuffix = ".service";
    if (component.size() <= kPrefix.size() + kSuffix.size() || !component.starts_with(kPrefix) ||
        !component.ends_with(kSuffix))
        return false;
    const auto uid = component.substr(kPrefix.size(), component.size() - kPrefix.size() - kSuffix.size());
    return std::all_of(uid.begin(), uid.end(), [](char c) { return c >= '0' && c <= '9'; });
}

ManagerPlace placeOf(std::string_view cgroup)
{
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start < cgroup.size()) {
        auto end = cgroup.find('/', start);
        if (end == std::string_view::npos)
            end = cgroup.size();
        if (end > start)
            components.push_back(cgroup.substr(start, end - start));
        start = end + 1;
    }
    ManagerPlace place;
    std::size_t i = 0;
    while (i < components.size() && !isUserManager(components[i]))
        ++i;
    if (i == components.size())
        return place;
    place.inManager = true;
    // The unit follows the innermost slice ("app.slice/app-org.gnome.Terminal.slice/vte-spawn-….scope").
    std::size_t unit = i + 1;
    for (std::size_t k = i + 1; k < components.size(); ++k) {
        if (components[k] == "session.slice" || components[k] == "background.slice")
            place.infrastructureSlice = true;
        if (components[k].ends_with(".slice"))
            unit = k + 1;
    }
    if (unit < components.size())
        place.unit = components[unit];
    return place;
}

}  // namespace

ApplicationClassifier::ApplicationClassifier(Exclusions exclusions, std::string searchPath)
    : exclusions_(std::move(exclusions)), searchPath_(std::move(searchPath))
{
    if (!exclusions_.agentBundle.empty()) {
        const auto resolved = resolvedPath(exclusions_.agentBundle);
        if (!resolved.empty())
            exclusions_.agentBundle = resolved;
    }
}

bool ApplicationClassifier::isExcluded(const ProcessFacts& facts) const
{
    if (facts.uid != exclusions_.uid || facts.pid == exclusions_.agentPid)
        return true;
    // Kernel threads have neither; a process that hides its executable still shows its arguments.
    if (facts.executable.empty() && facts.arguments.empty())
        return true;
    return isAgentProgram(facts) || (isInfrastructure(facts) && !programId(facts));
}

bool ApplicationClassifier::isAgentProgram(const ProcessFacts& facts) const
{
    if (!facts.executable.empty())
        return isBelow(facts.executable, exclusions_.agentBundle);
    if (facts.arguments.empty())
        return false;
    const auto& first = facts.arguments.front();
    if (first.starts_with("/")) {
        std::error_code error;
        const auto normal = std::filesystem::weakly_canonical(first, error);
        if (isBelow(error ? std::filesystem::path(first).lexically_normal() : normal, exclusions_.agentBundle))
            return true;
    }
    return isBelow(commandLineProgram(facts), exclusions_.agentBundle);
}

bool ApplicationClassifier::isInfrastructure(const ProcessFacts& facts) const
{
    const auto place = placeOf(facts.cgroup);
    // Outside the user manager (a login session's scope, for one) the program decides.
    if (!place.inManager)
        return false;
    if (place.infrastructureSlice)
        return true;
    if (place.unit.starts_with("dbus-")) {
        // GNOME starts DBusActivatable applications this way.
        const auto name = ApplicationUnitName::dbusActivatedName(place.unit);
        return !name || !index_.isVisibleApplication(*name);
    }
    if (place.unit.ends_with("@autostart.service"))
        return true;
    const auto id = ApplicationUnitName::applicationId(place.unit);
    return id && index_.isSessionAutostart(*id);
}

std::filesystem::path ApplicationClassifier::commandLineProgram(const ProcessFacts& facts) const
{
    if (facts.arguments.empty())
        return {};
    const auto& first = facts.arguments.front();
    if (auto program = InvocationParser::resolveProgram(first, searchPath_, facts.workingFolder))
        return *program;
    // Some programs rewrite their command line as one string: "/opt/app/app --type=renderer".
    const auto space = first.find(' ');
    if (facts.arguments.size() == 1 && space != std::string::npos) {
        if (auto program = InvocationParser::resolveProgram(first.substr(0, space), searchPath_, facts.workingFolder))
            return *program;
    }
    return {};
}

std::filesystem::path ApplicationClassifier::runningProgram(const ProcessFacts& facts) const
{
    return facts.executable.empty() ? commandLineProgram(facts) : facts.executable;
}

std::optional<std::string> ApplicationClassifier::programId(const ProcessFacts& facts) const
{
    std::optional<std::string> id = facts.flatpakId;
    if (const auto program = id ? std::filesystem::path() : runningProgram(facts); !program.empty()) {
        id = index_.idForProgram(program);
        if (!id) {
            const auto running = InvocationParser::runningInvocation(program, facts.arguments);
            id = index_.idForInvocation(running, facts.workingFolder);
        }
        if (!id)
            id = scriptId(facts, program);
    }
    if (id && isAgentId(*id))
        return std::nullopt;
    return id;
}

std::optional<std::string> ApplicationClassifier::scriptId(const ProcessFacts& facts,
                                                           const std::filesystem::path& interpreter) const
{
    // The kernel runs "#!interpreter [arg]" scripts as: interpreter [arg] script ...
    for (std::size_t i = 1; i < facts.arguments.size() && i <= 2; ++i) {
        const auto& argument = facts.arguments[i];
        if (!argument.starts_with("/"))
            continue;
        const auto script = resolvedPath(argument);
        if (script.empty())
            continue;
        if (auto id = index_.idForScript(script, interpreter))
            return id;
    }
    return std::nullopt;
}

std::optional<std::string> ApplicationClassifier::unitId(const ProcessFacts& facts) const
{
    if (isInfrastructure(facts))
        return std::nullopt;
    auto id = ApplicationUnitName::fromCgroupPath(facts.cgroup);
    if (!id) {
        // Not infrastructure, so a D-Bus activation unit here is a visible application's.
        const auto place = placeOf(facts.cgroup);
        if (place.unit.starts_with("dbus-"))
            id = ApplicationUnitName::dbusActivatedName(place.unit);
    }
    if (!id || isAgentId(*id))
        return std::nullopt;
    return id;
}

std::string ApplicationClassifier::displayName(const std::string& id, const ProcessFacts& facts) const
{
    // Names travel to the service as JSON text; an empty name or bytes that are not UTF-8 give way to the ID.
    auto name = index_.nameFor(id).value_or(facts.command);
    return !name.empty() && Utf8::isValid(name) ? name : id;
}

}  // namespace tessary
