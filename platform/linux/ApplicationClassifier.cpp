#include "platform/linux/ApplicationClassifier.h"

#include <fstream>

#include "platform/Utf8.h"
#include "platform/linux/ApplicationUnitName.h"

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
    return facts.uid != exclusions_.uid || facts.executable.empty() || facts.pid == exclusions_.agentPid ||
           isBelow(facts.executable, exclusions_.agentBundle);
}

std::optional<std::string> ApplicationClassifier::programId(const ProcessFacts& facts) const
{
    std::optional<std::string> id = facts.flatpakId;
    if (!id)
        id = index_.idForProgram(facts.executable);
    if (!id)
        id = scriptId(facts);
    if (id && isAgentId(*id))
        return std::nullopt;
    return id;
}

std::optional<std::string> ApplicationClassifier::scriptId(const ProcessFacts& facts) const
{
    // The kernel runs "#!interpreter [arg]" scripts as: interpreter [arg] script ...
    for (std::size_t i = 1; i < facts.arguments.size() && i <= 2; ++i) {
        const auto& argument = facts.arguments[i];
        if (!argument.starts_with("/"))
            continue;
        const auto script = resolvedPath(argument);
        if (script.empty())
            continue;
        if (auto id = index_.idForProgram(script); id && runsScript(facts.executable, script))
            return id;
    }
    return std::nullopt;
}

bool ApplicationClassifier::runsScript(const std::filesystem::path& interpreter, const std::filesystem::path& script) const
{
    std::ifstream in(script, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || !line.starts_with("#!"))
        return false;
    std::vector<std::string> words;
    std::size_t start = 2;
    while (start < line.size()) {
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
            ++start;
        auto end = line.find_first_of(" \t\r", start);
        if (end == std::string::npos)
            end = line.size();
        if (end > start)
            words.push_back(line.substr(start, end - start));
        start = end;
    }
    if (words.empty())
        return false;
    // "#!/usr/bin/env NAME": NAME found on the search path runs the script.
    if (std::filesystem::path(words[0]).filename() == "env" && words.size() > 1) {
        std::size_t i = 1;
        while (i < words.size() && words[i].starts_with("-"))
            ++i;
        if (i == words.size())
            return false;
        const auto program = DesktopEntryIndex::programOf(words[i], searchPath_);
        return program && *program == interpreter;
    }
    return resolvedPath(words[0]) == interpreter;
}

std::optional<std::string> ApplicationClassifier::unitId(const ProcessFacts& facts) const
{
    auto id = ApplicationUnitName::fromCgroupPath(facts.cgroup);
    if (!id || isAgentId(*id) || index_.isSessionAutostart(*id))
        return std::nullopt;
    return id;
}

std::string ApplicationClassifier::displayName(const std::string& id, const ProcessFacts& facts) const
{
    // Names travel to the service as JSON text; bytes that are not UTF-8 give way to the ID.
    auto name = index_.nameFor(id).value_or(facts.command);
    return Utf8::isValid(name) ? name : id;
}

}  // namespace tessary
