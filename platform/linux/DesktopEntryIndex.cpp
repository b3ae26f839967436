#include "platform/linux/DesktopEntryIndex.h"

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/linux/ScopedFd.h"

namespace tessary {
namespace {

using Kind = DesktopEntryIndex::Invocation::Kind;

constexpr std::size_t kMaximumEntrySize = 1 << 20;
// The kernel reads no more of a "#!" line.
constexpr std::size_t kMaximumShebangLine = 256;

// At most limit bytes of a regular file; empty for anything else (a FIFO would block).
std::string readPrefix(const std::filesystem::path& path, std::size_t limit)
{
    const ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return {};
    std::string content;
    struct stat status {};
    if (::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode)) {
        std::array<char, 8192> buffer{};
        while (content.size() < limit) {
            const ssize_t got = ::read(fd.get(), buffer.data(), std::min(buffer.size(), limit - content.size()));
            if (got <= 0)
                break;
            content.append(buffer.data(), static_cast<std::size_t>(got));
        }
    }
    return content;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// The escapes of a desktop entry's string values.
std::string unescapeValue(std::string_view value)
{
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        switch (value[++i]) {
        case 's': text += ' '; break;
        case 'n': text += '\n'; break;
        case 't': text += '\t'; break;
        case 'r': text += '\r'; break;
        default: text += value[i]; break;
        }
    }
    return text;
}

// Whether the last components of path are those of tail.
bool endsWithComponents(const std::filesystem::path& path, const std::filesystem::path& tail)
{
    std::vector<std::filesystem::path> pathParts(path.begin(), path.end());
    std::vector<std::filesystem::path> tailParts(tail.begin(), tail.end());
    if (tailParts.empty() || tailParts.size() > pathParts.size())
        return false;
    return std::equal(tailParts.rbegin(), tailParts.rend(), pathParts.rbegin());
}

struct ParsedEntry {
    std::string id;
    bool application = false;  // Type=Application and not Hidden
    bool visible = false;      // and not NoDisplay either
    std::string name, exec, tryExec;
    std::filesystem::path folder;  // Path=, when absolute
    std::string malformed;         // what was skipped, when anything was
};

ParsedEntry readEntry(const std::filesystem::path& file, const std::filesystem::path& applications)
{
    ParsedEntry entry;
    // The desktop file ID: the path below applications/ with '/' turned into '-'.
    entry.id = file.lexically_relative(applications).replace_extension().string();
    std::replace(entry.id.begin(), entry.id.end(), '/', '-');
    const auto content = readPrefix(file, kMaximumEntrySize + 1);
    std::string type, path;
    bool noDisplay = false, hidden = false, inEntry = false;
    std::size_t start = 0, lineNumber = 0, skipped = 0, firstSkipped = 0;
    const auto skip = [&] {
        if (skipped++ == 0)
            firstSkipped = lineNumber;
    };
    while (start < std::min(content.size(), kMaximumEntrySize)) {
        auto stop = content.find('\n', start);
        if (stop == std::string::npos)
            stop = content.size();
        const auto text = trim(std::string_view(content).substr(start, stop - start));
        start = stop + 1;
        ++lineNumber;
        if (text.empty() || text.front() == '#')
            continue;
        if (text.front() == '[') {
            if (text.back() != ']')
                skip();
            else
                inEntry = text == "[Desktop Entry]";
            continue;
        }
        const auto equals = text.find('=');
        if (equals == std::string_view::npos || trim(text.substr(0, equals)).empty()) {
            skip();
            continue;
        }
        if (!inEntry)
            continue;
        const auto key = trim(text.substr(0, equals));
        auto value = unescapeValue(trim(text.substr(equals + 1)));
        if (key == "Type")
            type = std::move(value);
        else if (key == "Name")
            entry.name = std::move(value);
        else if (key == "Exec")
            entry.exec = std::move(value);
        else if (key == "TryExec")
            entry.tryExec = std::move(value);
        else if (key == "Path")
            path = std::move(value);
        else if (key == "NoDisplay")
            noDisplay = value == "true";
        else if (key == "Hidden")
            hidden = value == "true";
    }
    if (skipped > 0)
        entry.malformed = file.string() + ": " + std::to_string(skipped) + " malformed line(s) skipped, the first line " +
                          std::to_string(firstSkipped);
    if (content.size() > kMaximumEntrySize)
        entry.malformed = file.string() + ": larger than " + std::to_string(kMaximumEntrySize) +
                          " bytes, read no further";
    entry.application = !hidden && type == "Application";
    entry.visible = entry.application && !noDisplay;
    if (std::filesystem::path(path).is_absolute())
        entry.folder = std::filesystem::path(path).lexically_normal();
    return entry;
}

}  // namespace

void DesktopEntryIndex::addProgram(const std::filesystem::path& program, const std::string& id,
                                   const std::string& searchPath)
{
    if (!programs_.emplace(program, id).second)
        return;
    triggers_.insert(program);
    // The kernel runs "#!interpreter [argument]" scripts as: interpreter [argument] script ...
    const auto name = InvocationParser::shebangInterpreter(readPrefix(program, kMaximumShebangLine));
    if (!name)
        return;
    auto interpreter = InvocationParser::resolveProgram(*name, searchPath).value_or(std::filesystem::path());
    auto family = InvocationParser::interpreterFamily(*name);
    if (family.empty())
        family = InvocationParser::interpreterFamily(interpreter);
    scriptInterpreters_.emplace(program, ScriptInterpreter{std::move(interpreter), std::move(family)});
}

void DesktopEntryIndex::addClaims(const std::string& id, const std::string& exec, const std::string& tryExec,
                                  const std::filesystem::path& folder, const std::string& searchPath)
{
    if (const auto invocation = InvocationParser::invocationOf(exec, searchPath, folder)) {
        triggers_.insert(invocation->launchers.begin(), invocation->launchers.end());
        if (invocation->kind == Kind::program) {
            addProgram(invocation->program, id, searchPath);
        } else if (invocation->kind != Kind::flatpak) {
            // A Flatpak launch is named by its own ID at run time; nothing to remember.
            const bool relative =
                invocation->kind != Kind::module && !std::filesystem::path(invocation->operand).is_absolute();
            operandClaims_.push_back(OperandClaim{invocation->kind, invocation->program,
                                                  InvocationParser::interpreterFamily(invocation->program),
                                                  invocation->operand, relative, id});
        }
    }
    // TryExec names the installed program; an interpreter there says nothing about the entry.
    if (!tryExec.empty()) {
        if (const auto program = InvocationParser::resolveProgram(tryExec, searchPath, folder);
            program && InvocationParser::interpreterFamily(tryExec).empty() &&
            InvocationParser::interpreterFamily(*program).empty()) {
            addProgram(*program, id, searchPath);
        }
    }
}

DesktopEntryIndex DesktopEntryIndex::load(const Roots& roots)
{
    std::vector<std::vector<ParsedEntry>> entriesByDir;
    for (const auto& dataDir : roots.dataDirs) {
        const auto folder = dataDir / "applications";
        std::error_code error;
        std::vector<std::filesystem::path> files;
        for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            if (it->path().extension() == ".desktop" && it->is_regular_file(error))
                files.push_back(it->path());
        }
        std::sort(files.begin(), files.end());
        auto& entries = entriesByDir.emplace_back();
        for (const auto& file : files)
            entries.push_back(readEntry(file, folder));
    }

    DesktopEntryIndex index;
    // Names follow the precedence of the data folders: the first entry of an ID, hidden or not,
    // masks the rest.
    std::set<std::string> seen;
    for (const auto& entries : entriesByDir) {
        for (const auto& entry : entries) {
            if (!entry.malformed.empty())
                index.malformedEntries_.push_back(entry.malformed);
            if (entry.visible)
                index.visibleIds_.insert(entry.id);
            if (seen.insert(entry.id).second && entry.application)
                index.names_[entry.id] = entry.name;
        }
    }
    // Programs go to the visible entries of every folder, in reverse precedence so the system's
    // come first: an entry the user writes can neither hide a system program nor claim it for
    // another ID.
    for (auto entries = entriesByDir.rbegin(); entries != entriesByDir.rend(); ++entries)
        for (const auto& entry : *entries)
            if (entry.visible)
                index.addClaims(entry.id, entry.exec, entry.tryExec, entry.folder, roots.searchPath);

    for (const auto& configDir : roots.configDirs) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(configDir / "autostart", error), end; !error && it != end;
             it.increment(error)) {
            if (it->path().extension() == ".desktop")
                index.autostartIds_.insert(it->path().stem().string());
        }
    }
    return index;
}

std::optional<std::string> DesktopEntryIndex::nameFor(const std::string& id) const
{
    const auto found = names_.find(id);
    if (found == names_.end() || found->second.empty())
        return std::nullopt;
    return found->second;
}

bool DesktopEntryIndex::hasApplication(const std::string& id) const
{
    return names_.contains(id);
}

bool DesktopEntryIndex::isVisibleApplication(const std::string& id) const
{
    return visibleIds_.contains(id);
}

std::optional<std::string> DesktopEntryIndex::idForProgram(const std::filesystem::path& program) const
{
    const auto found = programs_.find(program);
    if (found == programs_.end())
        return std::nullopt;
    return found->second;
}

std::optional<std::string> DesktopEntryIndex::idForInvocation(const Invocation& running,
                                                              const std::filesystem::path& workingFolder) const
{
    if (running.kind == Kind::program)
        return idForProgram(running.program);
    if (running.kind == Kind::flatpak)
        return running.operand;
    const auto family = InvocationParser::interpreterFamily(running.program);
    const std::filesystem::path operand(running.operand);
    std::filesystem::path absolute;
    if (running.kind != Kind::module && (operand.is_absolute() || !workingFolder.empty()))
        absolute = InvocationParser::operandPath(running.operand, workingFolder);
    for (const auto& claim : operandClaims_) {
        if (claim.kind != running.kind || (claim.interpreter != running.program && claim.family != family))
            continue;
        bool matches = false;
        if (running.kind == Kind::module)
            matches = claim.operand == running.operand;
        else if (!claim.relative)
            matches = !absolute.empty() && absolute == claim.operand;
        else if (!absolute.empty())
            matches = endsWithComponents(absolute, claim.operand);
        else
            matches = operand.lexically_normal() == claim.operand;
        if (matches)
            return claim.id;
    }
    return std::nullopt;
}

std::optional<std::string> DesktopEntryIndex::idForScript(const std::filesystem::path& script,
                                                          const std::filesystem::path& interpreter) const
{
    const auto found = scriptInterpreters_.find(script);
    if (found == scriptInterpreters_.end())
        return std::nullopt;
    const auto& wanted = found->second;
    const bool runs = (!wanted.program.empty() && wanted.program == interpreter) ||
                      (!wanted.family.empty() && wanted.family == InvocationParser::interpreterFamily(interpreter));
    return runs ? idForProgram(script) : std::nullopt;
}

bool DesktopEntryIndex::isSessionAutostart(const std::string& id) const
{
    return autostartIds_.contains(id) && !isVisibleApplication(id);
}

std::set<std::filesystem::path> DesktopEntryIndex::triggerPrograms() const
{
    return triggers_;
}

std::set<std::filesystem::path> DesktopEntryIndex::programFolders() const
{
    std::set<std::filesystem::path> folders;
    for (const auto& program : triggers_)
        folders.insert(program.parent_path());
    return folders;
}

}  // namespace tessary
