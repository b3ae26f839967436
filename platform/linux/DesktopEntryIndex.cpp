#include "platform/linux/DesktopEntryIndex.h"

#include <algorithm>
#include <fstream>
#include <string_view>
#include <unistd.h>

namespace tessary {
namespace {

constexpr std::size_t kMaximumEntrySize = 1 << 20;

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

// Splits an Exec= value into arguments: blanks separate them, double quotes group, and inside
// quotes a backslash escapes the next character.
std::vector<std::string> execArguments(std::string_view exec)
{
    std::vector<std::string> arguments;
    std::size_t i = 0;
    while (i < exec.size()) {
        while (i < exec.size() && (exec[i] == ' ' || exec[i] == '\t'))
            ++i;
        if (i == exec.size())
            break;
        std::string argument;
        while (i < exec.size() && exec[i] != ' ' && exec[i] != '\t') {
            if (exec[i] == '"') {
                ++i;
                while (i < exec.size() && exec[i] != '"') {
                    if (exec[i] == '\\' && i + 1 < exec.size())
                        ++i;
                    argument += exec[i++];
                }
                ++i;
            } else {
                argument += exec[i++];
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

bool isExecutableFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> resolve(const std::string& program, const std::string& searchPath)
{
    if (program.empty())
        return std::nullopt;
    std::filesystem::path found;
    if (program.find('/') != std::string::npos) {
        found = program;
    } else {
        std::size_t start = 0;
        while (start <= searchPath.size() && found.empty()) {
            auto end = searchPath.find(':', start);
            if (end == std::string::npos)
                end = searchPath.size();
            const std::string folder = searchPath.substr(start, end - start);
            start = end + 1;
            if (!folder.empty() && isExecutableFile(std::filesystem::path(folder) / program))
                found = std::filesystem::path(folder) / program;
        }
    }
    if (found.empty() || !isExecutableFile(found))
        return std::nullopt;
    std::error_code error;
    auto canonical = std::filesystem::canonical(found, error);
    if (error)
        return std::nullopt;
    return canonical;
}

bool startsWithShebang(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == '#' && magic[1] == '!';
}

}  // namespace

std::optional<std::filesystem::path> DesktopEntryIndex::programOf(const std::string& exec, const std::string& searchPath)
{
    const auto arguments = execArguments(exec);
    std::size_t i = 0;
    if (!arguments.empty() && std::filesystem::path(arguments[0]).filename() == "env") {
        ++i;
        while (i < arguments.size() && (arguments[i].find('=') != std::string::npos || arguments[i].starts_with("-")))
            ++i;
    }
    if (i >= arguments.size())
        return std::nullopt;
    // A shell command line could start anything; its shell is no application.
    if (i + 1 < arguments.size() && arguments[i + 1] == "-c")
        return std::nullopt;
    auto program = resolve(arguments[i], searchPath);
    if (!program || program->filename() == "flatpak")
        return std::nullopt;
    // "python3 /usr/share/app/main.py": the script names the application, not its interpreter.
    if (i + 1 < arguments.size() && arguments[i + 1].starts_with("/")) {
        const auto script = resolve(arguments[i + 1], searchPath);
        if (script && startsWithShebang(*script))
            return script;
    }
    return program;
}

void DesktopEntryIndex::addFile(const std::filesystem::path& file, const std::string& id, const std::string& searchPath)
{
    if (seenIds_.contains(id))
        return;
    seenIds_.insert(id);
    std::ifstream in(file, std::ios::binary);
    std::string type, name, exec, tryExec;
    bool noDisplay = false, hidden = false, flatpak = false, inEntry = false;
    std::string line;
    std::size_t total = 0;
    while (std::getline(in, line) && total < kMaximumEntrySize) {
        total += line.size() + 1;
        const auto text = trim(line);
        if (text.empty() || text.front() == '#')
            continue;
        if (text.front() == '[') {
            inEntry = text == "[Desktop Entry]";
            continue;
        }
        const auto equals = text.find('=');
        if (!inEntry || equals == std::string_view::npos)
            continue;
        const auto key = trim(text.substr(0, equals));
        const auto value = unescapeValue(trim(text.substr(equals + 1)));
        if (key == "Type")
            type = value;
        else if (key == "Name")
            name = value;
        else if (key == "Exec")
            exec = value;
        else if (key == "TryExec")
            tryExec = value;
        else if (key == "NoDisplay")
            noDisplay = value == "true";
        else if (key == "Hidden")
            hidden = value == "true";
        else if (key == "X-Flatpak")
            flatpak = true;
    }
    if (hidden || type != "Application")
        return;
    names_[id] = name;
    if (noDisplay || flatpak)
        return;
    for (const auto& command : {exec, tryExec}) {
        if (command.empty())
            continue;
        if (const auto program = programOf(command, searchPath))
            programs_.emplace(*program, id);
    }
}

DesktopEntryIndex DesktopEntryIndex::load(const Roots& roots)
{
    DesktopEntryIndex index;
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
        for (const auto& file : files) {
            // The desktop file ID: the path below applications/ with '/' turned into '-'.
            std::string id = file.lexically_relative(folder).replace_extension().string();
            std::replace(id.begin(), id.end(), '/', '-');
            index.addFile(file, id, roots.searchPath);
        }
    }
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

std::optional<std::string> DesktopEntryIndex::idForProgram(const std::filesystem::path& program) const
{
    const auto found = programs_.find(program);
    if (found == programs_.end())
        return std::nullopt;
    return found->second;
}

bool DesktopEntryIndex::isSessionAutostart(const std::string& id) const
{
    return autostartIds_.contains(id) && !hasApplication(id);
}

std::set<std::filesystem::path> DesktopEntryIndex::programFolders() const
{
    std::set<std::filesystem::path> folders;
    for (const auto& [program, id] : programs_)
        folders.insert(program.parent_path());
    return folders;
}

}  // namespace tessary
