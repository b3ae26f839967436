#include "platform/linux/ProcFileSystem.h"

#include <array>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tessary {
namespace {

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit)
{
    const ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::string content;
    std::array<char, 4096> buffer{};
    while (content.size() < limit) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        content.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return content;
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The value of name= in the [Application] group of a .flatpak-info file.
std::optional<std::string> flatpakApplicationName(std::string_view info)
{
    bool inApplication = false;
    std::size_t start = 0;
    while (start < info.size()) {
        auto end = info.find('\n', start);
        if (end == std::string_view::npos)
            end = info.size();
        const auto line = info.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.front() == '[') {
            inApplication = line == "[Application]";
            continue;
        }
        if (inApplication && line.substr(0, 5) == "name=" && line.size() > 5)
            return std::string(line.substr(5));
    }
    return std::nullopt;
}

// A symbolic link's target; empty when unreadable (another user's process, or one that made
// itself undumpable) or longer than a path can be. Plain readlink: this runs for every recent
// process on every look, so no extra lstat.
std::filesystem::path linkTarget(const std::filesystem::path& link)
{
    std::array<char, 4096> target{};
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) == target.size())
        return {};
    return std::string(target.data(), static_cast<std::size_t>(length));
}

}  // namespace

ProcFileSystem::ProcFileSystem(std::filesystem::path root)
    : root_(std::move(root)), loadavg_(::open((root_ / "loadavg").c_str(), O_RDONLY | O_CLOEXEC))
{
}

std::filesystem::path ProcFileSystem::processFolder(pid_t pid) const
{
    return root_ / std::to_string(pid);
}

std::vector<ProcFileSystem::Entry> ProcFileSystem::list() const
{
    std::vector<Entry> entries;
    DIR* folder = ::opendir(root_.c_str());
    if (folder == nullptr)
        return entries;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name(entry->d_name);
        if (name.empty() || name.front() < '1' || name.front() > '9')
            continue;
        if (const auto pid = parseNumber<pid_t>(name))
            entries.push_back(Entry{*pid, entry->d_ino});
    }
    ::closedir(folder);
    return entries;
}

std::optional<ProcFileSystem::StatLine> ProcFileSystem::readStat(pid_t pid) const
{
    const auto text = readSmallFile(processFolder(pid) / "stat", 4096);
    if (!text)
        return std::nullopt;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so split at the last ')'.
    const auto open = text->find('(');
    const auto close = text->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    StatLine line{0, 0, text->substr(open + 1, close - open - 1), '?'};
    std::string_view rest(*text);
    rest.remove_prefix(close + 1);
    // Fields after comm, counted from 3 (state) as in proc(5): ppid is 4, starttime 22.
    int field = 2;
    std::size_t position = 0;
    bool haveParent = false;
    bool haveStart = false;
    while (position < rest.size() && !haveStart) {
        while (position < rest.size() && rest[position] == ' ')
            ++position;
        const auto end = std::min(rest.find(' ', position), rest.size());
        const auto token = rest.substr(position, end - position);
        position = end;
        ++field;
        if (field == 3 && !token.empty()) {
            line.state = token.front();
        } else if (field == 4) {
            const auto parent = parseNumber<pid_t>(token);
            if (!parent)
                return std::nullopt;
            line.parentPid = *parent;
            haveParent = true;
        } else if (field == 22) {
            const auto start = parseNumber<std::uint64_t>(token);
            if (!start)
                return std::nullopt;
            line.startTime = *start;
            haveStart = true;
        }
    }
    if (!haveParent || !haveStart)
        return std::nullopt;
    return line;
}

std::optional<std::uint64_t> ProcFileSystem::startTime(pid_t pid) const
{
    const auto stat = readStat(pid);
    if (!stat)
        return std::nullopt;
    return stat->startTime;
}

bool ProcFileSystem::isRunning(const ProcessIdentity& process) const
{
    const auto stat = readStat(process.pid);
    return stat && stat->startTime == process.startTime && stat->state != 'Z' && stat->state != 'X';
}

std::optional<bool> ProcFileSystem::isThreadGroupLeader(pid_t pid) const
{
    const auto text = readSmallFile(processFolder(pid) / "status", 65536);
    if (!text)
        return std::nullopt;
    const auto found = text->find("\nTgid:");
    if (found == std::string::npos)
        return true;
    std::size_t start = found + 6;
    while (start < text->size() && (*text)[start] == '\t')
        ++start;
    const auto end = text->find('\n', start);
    return parseNumber<pid_t>(std::string_view(*text).substr(start, end - start)) == pid;
}

std::string ProcFileSystem::command(pid_t pid) const
{
    const auto stat = readStat(pid);
    return stat ? stat->command : std::string();
}

std::filesystem::path ProcFileSystem::executable(pid_t pid) const
{
    return linkTarget(processFolder(pid) / "exe");
}

std::string ProcFileSystem::cgroup(pid_t pid) const
{
    const auto text = readSmallFile(processFolder(pid) / "cgroup", 65536);
    if (!text)
        return {};
    std::size_t start = 0;
    while (start < text->size()) {
        auto end = text->find('\n', start);
        if (end == std::string::npos)
            end = text->size();
        if (text->compare(start, 3, "0::") == 0)
            return text->substr(start + 3, end - start - 3);
        start = end + 1;
    }
    return {};
}

std::optional<ProcessFacts> ProcFileSystem::read(pid_t pid) const
{
    const auto folder = processFolder(pid);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0)
        return std::nullopt;
    const auto stat = readStat(pid);
    if (!stat)
        return std::nullopt;
    ProcessFacts facts;
    facts.pid = pid;
    facts.parentPid = stat->parentPid;
    facts.startTime = stat->startTime;
    facts.uid = status.st_uid;
    facts.command = stat->command;
    facts.executable = executable(pid);
    if (const auto cmdline = readSmallFile(folder / "cmdline", 65536)) {
        std::size_t start = 0;
        while (start < cmdline->size()) {
            auto end = cmdline->find('\0', start);
            if (end == std::string::npos)
                end = cmdline->size();
            facts.arguments.push_back(cmdline->substr(start, end - start));
            start = end + 1;
        }
    }
    facts.workingFolder = linkTarget(folder / "cwd");
    facts.cgroup = cgroup(pid);
    if (const auto info = readSmallFile(folder / "root" / ".flatpak-info", 65536))
        facts.flatpakId = flatpakApplicationName(*info);
    return facts;
}

std::optional<pid_t> ProcFileSystem::lastCreatedPid() const
{
    if (!loadavg_)
        return std::nullopt;
    std::array<char, 128> buffer{};
    const ssize_t got = ::pread(loadavg_.get(), buffer.data(), buffer.size() - 1, 0);
    if (got <= 0)
        return std::nullopt;
    std::string_view text(buffer.data(), static_cast<std::size_t>(got));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    const auto space = text.rfind(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    return parseNumber<pid_t>(text.substr(space + 1));
}

}  // namespace tessary
