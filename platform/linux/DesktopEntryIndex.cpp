#include "platform/linux/DesktopEntryIndex.h"

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tessary {
namespace {

using Invocation = DesktopEntryIndex::Invocation;
using Kind = Invocation::Kind;

constexpr std::size_t kMaximumEntrySize = 1 << 20;
// The kernel reads no more of a "#!" line.
constexpr std::size_t kMaximumShebangLine = 256;
// env, "sh -c" and env again may nest; deeper than this is no real entry.
constexpr int kMaximumNesting = 8;

// At most limit bytes of a regular file; empty for anything else (a FIFO would block).
std::string readPrefix(const std::filesystem::path& path, std::size_t limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string content;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        std::array<char, 8192> buffer{};
        while (content.size() < limit) {
            const ssize_t got = ::read(fd, buffer.data(), std::min(buffer.size(), limit - content.size()));
            if (got <= 0)
                break;
            content.append(buffer.data(), static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
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

bool isFieldCode(const std::string& argument)
{
    return argument.size() == 2 && argument[0] == '%' &&
        std::string_view("fFuUdDnNickvm").find(argument[1]) != std::string_view::npos;
}

// Splits an Exec= value into arguments: blanks separate them, double and single quotes group, and
// inside double quotes a backslash escapes the next character. Field codes (%U, ...) stand for
// the launch's files and are left out.
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
            } else if (exec[i] == '\'') {
                // Not in the standard, but the launchers' shell-style parsing accepts it.
                const auto close = exec.find('\'', i + 1);
                const auto end = close == std::string_view::npos ? exec.size() : close;
                argument.append(exec.substr(i + 1, end - i - 1));
                i = end + 1;
            } else if (exec[i] == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
                argument += '%';
                i += 2;
            } else {
                argument += exec[i++];
            }
        }
        if (!isFieldCode(argument))
            arguments.push_back(std::move(argument));
    }
    return arguments;
}

bool isExecutableFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// The canonical form where the path exists, else its normal form: processes may name scripts
// that are gone or that lie behind symbolic links.
std::filesystem::path normalPath(const std::filesystem::path& path)
{
    std::error_code error;
    auto result = std::filesystem::weakly_canonical(path, error);
    return error ? path.lexically_normal() : result;
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

bool isOption(const std::string& argument)
{
    return argument.size() > 1 && argument.front() == '-';
}

bool isFlatpakId(std::string_view id)
{
    if (id.empty() || id.find('.') == std::string_view::npos || id.front() == '.' || id.front() == '-')
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

struct Operand {
    Kind kind;
    std::string value;
};

// python [options] (script | -m module | -c command)
std::optional<Operand> pythonOperand(const std::vector<std::string>& arguments, std::size_t i)
{
    for (; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--")
            return i + 1 < arguments.size() ? std::optional<Operand>({Kind::script, arguments[i + 1]}) : std::nullopt;
        if (argument == "-")
            return std::nullopt;
        if (argument.starts_with("--")) {
            if (argument == "--check-hash-based-pycs")
                ++i;
            continue;
        }
        if (!isOption(argument))
            return Operand{Kind::script, argument};
        // A cluster of one-letter options; c, m, W and X take the rest or the next argument.
        for (std::size_t letter = 1; letter < argument.size(); ++letter) {
            const char option = argument[letter];
            if (option == 'c')
                return std::nullopt;
            if (option == 'm' || option == 'W' || option == 'X') {
                std::string value = argument.substr(letter + 1);
                if (value.empty() && ++i < arguments.size())
                    value = arguments[i];
                if (option == 'm')
                    return value.empty() ? std::nullopt : std::optional<Operand>({Kind::module, value});
                break;
            }
        }
    }
    return std::nullopt;
}

// java [options] -jar file: a main class alone names no application.
std::optional<Operand> javaOperand(const std::vector<std::string>& arguments, std::size_t i)
{
    static const std::set<std::string_view> kWithValue = {
        "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path", "--add-modules",
        "--limit-modules", "--add-reads", "--add-exports", "--add-opens", "--patch-module"};
    for (; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "-jar")
            return i + 1 < arguments.size() ? std::optional<Operand>({Kind::jar, arguments[i + 1]}) : std::nullopt;
        if (!isOption(argument))
            return std::nullopt;
        if (kWithValue.contains(argument))
            ++i;
    }
    return std::nullopt;
}

// flatpak [options] run [options] ID[//branch] [arguments]
std::optional<Operand> flatpakOperand(const std::vector<std::string>& arguments, std::size_t i)
{
    static const std::set<std::string_view> kWithValue = {
        "--arch", "--branch", "--command", "--cwd", "--runtime", "--runtime-version", "--commit", "--runtime-commit",
        "--filesystem", "--nofilesystem", "--socket", "--nosocket", "--device", "--nodevice", "--share", "--unshare",
        "--allow", "--disallow", "--env", "--unset-env", "--env-fd", "--own-name", "--talk-name", "--no-talk-name",
        "--system-own-name", "--system-talk-name", "--system-no-talk-name", "--add-policy", "--remove-policy",
        "--persist", "--app-path", "--usr-path", "--instance-id-fd", "--parent-pid", "--installation"};
    while (i < arguments.size() && isOption(arguments[i]))
        ++i;
    if (i >= arguments.size() || arguments[i] != "run")
        return std::nullopt;
    for (++i; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (!isOption(argument)) {
            const std::string id = argument.substr(0, argument.find('/'));
            return isFlatpakId(id) ? std::optional<Operand>({Kind::flatpak, id}) : std::nullopt;
        }
        if (kWithValue.contains(argument))
            ++i;
    }
    return std::nullopt;
}

// Shells, perl, ruby, node, ...: the first argument after the options is the script; a command
// given inline names none.
std::optional<Operand> scriptOperand(const std::string& family, const std::vector<std::string>& arguments,
                                     std::size_t i)
{
    static const std::set<std::string_view> kInline = {"-e", "-E", "-r", "-p", "--eval", "--print", "--command"};
    for (; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--")
            return i + 1 < arguments.size() ? std::optional<Operand>({Kind::script, arguments[i + 1]}) : std::nullopt;
        if (argument == "-")
            return std::nullopt;
        const bool shellOption = family == "shell" && argument.size() > 1 && argument.front() == '+';
        if (!isOption(argument) && !shellOption)
            return Operand{Kind::script, argument};
        if (family == "shell") {
            if (argument == "-o" || argument == "+o")
                ++i;
            else if (!argument.starts_with("--") && argument.find('c') != std::string::npos)
                return std::nullopt;
        } else if (kInline.contains(argument) || (family == "gjs" && argument == "-c")) {
            return std::nullopt;
        } else if (argument == "-I" || argument == "-l") {
            ++i;
        }
    }
    return std::nullopt;
}

std::optional<Operand> operandOf(const std::string& family, const std::vector<std::string>& arguments, std::size_t i)
{
    if (family == "python")
        return pythonOperand(arguments, i);
    if (family == "java")
        return javaOperand(arguments, i);
    if (family == "flatpak")
        return flatpakOperand(arguments, i);
    return scriptOperand(family, arguments, i);
}

bool isAssignment(std::string_view word)
{
    const auto equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return false;
    const auto name = word.substr(0, equals);
    if (name.front() >= '0' && name.front() <= '9')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// The simple commands of a shell string, in order; absent when it uses more of the language
// (substitutions, groups, compound commands, here-documents) than a launcher line needs.
std::optional<std::vector<std::vector<std::string>>> shellCommands(std::string_view text)
{
    static const std::set<std::string_view> kKeywords = {"if", "then", "else", "elif", "fi", "for", "while", "until",
                                                         "do", "done", "case", "esac", "function", "select", "!",
                                                         "{", "}", "[[", "]]"};
    std::vector<std::vector<std::string>> commands(1);
    std::string word;
    bool inWord = false;
    bool dropNextWord = false;
    const auto endWord = [&] {
        if (inWord && !std::exchange(dropNextWord, false))
            commands.back().push_back(std::move(word));
        word.clear();
        inWord = false;
    };
    const auto endCommand = [&] {
        endWord();
        if (!commands.back().empty())
            commands.emplace_back();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            endWord();
        } else if (c == '\n' || c == ';' || c == '&' || c == '|') {
            if (c != '\n' && i + 1 < text.size() && text[i + 1] == c)
                ++i;
            endCommand();
        } else if (c == '\'') {
            const auto close = text.find('\'', i + 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            word.append(text.substr(i + 1, close - i - 1));
            inWord = true;
            i = close;
        } else if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '`' || (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '('))
                    return std::nullopt;
                if (text[i] == '\\' && i + 1 < text.size() &&
                    std::string_view("$`\"\\\n").find(text[i + 1]) != std::string_view::npos)
                    ++i;
                word += text[i];
            }
            if (i >= text.size())
                return std::nullopt;
            inWord = true;
        } else if (c == '\\') {
            if (++i >= text.size())
                return std::nullopt;
            word += text[i];
            inWord = true;
        } else if (c == '`' || c == '(' || c == ')' || (c == '$' && i + 1 < text.size() && text[i + 1] == '(')) {
            return std::nullopt;
        } else if (c == '<' || c == '>') {
            // A redirection: its target is no argument; "2>" names a descriptor, not a word.
            if (i + 1 < text.size() && text[i + 1] == '<' && c == '<')
                return std::nullopt;
            const bool descriptor =
                inWord && std::all_of(word.begin(), word.end(), [](char d) { return d >= '0' && d <= '9'; });
            if (descriptor) {
                word.clear();
                inWord = false;
            } else {
                endWord();
            }
            while (i + 1 < text.size() && (text[i + 1] == '>' || text[i + 1] == '&'))
                ++i;
            // "2>&1": the descriptor after & is the target.
            dropNextWord = true;
        } else if (c == '#' && !inWord) {
            const auto end = text.find('\n', i);
            i = end == std::string_view::npos ? text.size() : end - 1;
        } else {
            word += c;
            inWord = true;
        }
    }
    endWord();
    if (commands.back().empty())
        commands.pop_back();
    for (const auto& command : commands)
        if (!command.empty() && kKeywords.contains(command.front()))
            return std::nullopt;
    return commands;
}

// The words of a simple command from its program on: leading assignments and exec removed.
std::vector<std::string> programWords(std::vector<std::string> words)
{
    std::size_t i = 0;
    while (i < words.size()) {
        if (isAssignment(words[i])) {
            ++i;
        } else if (words[i] == "exec") {
            // exec [-cl] [-a name] program ...
            ++i;
            while (i < words.size() && isOption(words[i]))
                i += words[i] == "-a" ? 2U : 1U;
        } else {
            break;
        }
    }
    words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(std::min(i, words.size())));
    return words;
}

// Commands that only wait, report or set state; "game; true" still launches the game, and
// taking /usr/bin/true for it would name every true process after the game.
bool isIncidental(const std::vector<std::string>& words)
{
    static const std::set<std::string_view> kIncidental = {"true", "false", ":",     "echo", "printf", "wait",
                                                           "exit", "return", "test", "[",    "set",    "unset",
                                                           "export", "trap", "shift", "read", "sleep", "cd"};
    return words.empty() || kIncidental.contains(words.front());
}

struct ShellTarget {
    std::vector<std::string> words;
    std::filesystem::path folder;
};

// The last simple command of a shell string that runs a program, and the folder earlier "cd"
// commands leave it in (empty when that cannot be told).
std::optional<ShellTarget> finalCommand(std::string_view text, std::filesystem::path folder)
{
    const auto commands = shellCommands(text);
    if (!commands)
        return std::nullopt;
    std::size_t last = commands->size();
    while (last > 0 && isIncidental(programWords((*commands)[last - 1])))
        --last;
    if (last == 0)
        return std::nullopt;
    for (std::size_t c = 0; c + 1 < last; ++c) {
        const auto& words = (*commands)[c];
        if (words.front() != "cd")
            continue;
        if (words.size() < 2 || words[1].find_first_of("$~") != std::string::npos || words[1] == "-")
            folder.clear();
        else if (std::filesystem::path(words[1]).is_absolute())
            folder = std::filesystem::path(words[1]).lexically_normal();
        else if (!folder.empty())
            folder = (folder / words[1]).lexically_normal();
    }
    auto words = programWords((*commands)[last - 1]);
    if (words.front().find('$') != std::string::npos)
        return std::nullopt;
    return ShellTarget{std::move(words), std::move(folder)};
}

std::optional<Invocation> invocationOfArguments(std::vector<std::string> arguments, std::size_t i,
                                                const std::string& searchPath, std::filesystem::path folder, int depth);

// env [options] [NAME=value ...] program ...: env execs the program.
std::optional<Invocation> throughEnv(std::vector<std::string> arguments, std::size_t i, const std::string& searchPath,
                                     std::filesystem::path folder, int depth)
{
    while (i < arguments.size()) {
        const auto& argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument == "-u" || argument == "--unset") {
            i += 2;
        } else if (argument == "-C" || argument == "--chdir" || argument.starts_with("--chdir=")) {
            const std::string target = argument.starts_with("--chdir=") ? argument.substr(8)
                                       : i + 1 < arguments.size()   ? arguments[i + 1]
                                                                    : std::string();
            folder = std::filesystem::path(target).is_absolute() ? std::filesystem::path(target)
                     : folder.empty()                            ? std::filesystem::path()
                                                                 : folder / target;
            i += argument.starts_with("--chdir=") ? 1U : 2U;
        } else if (argument == "-S" || argument == "--split-string") {
            // The string's words take its place.
            if (i + 1 >= arguments.size())
                return std::nullopt;
            auto words = execArguments(arguments[i + 1]);
            words.insert(words.end(), arguments.begin() + static_cast<std::ptrdiff_t>(i + 2), arguments.end());
            arguments = std::move(words);
            i = 0;
        } else if (isOption(argument) || isAssignment(argument)) {
            ++i;
        } else {
            break;
        }
    }
    return invocationOfArguments(std::move(arguments), i, searchPath, std::move(folder), depth + 1);
}

// A shell's arguments: "-c STRING" runs the string's final program; otherwise a script.
std::optional<std::string> shellCommandString(const std::vector<std::string>& arguments, std::size_t i)
{
    bool command = false;
    for (; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        const bool option = isOption(argument) || (argument.size() > 1 && argument.front() == '+');
        if (!option)
            break;
        if (argument == "-o" || argument == "+o")
            ++i;
        else if (!argument.starts_with("--") && argument.front() == '-' && argument.find('c') != std::string::npos)
            command = true;
    }
    if (!command || i >= arguments.size())
        return std::nullopt;
    return arguments[i];
}

std::optional<Invocation> invocationOfArguments(std::vector<std::string> arguments, std::size_t i,
                                                const std::string& searchPath, std::filesystem::path folder, int depth)
{
    if (depth > kMaximumNesting || i >= arguments.size())
        return std::nullopt;
    const auto program = DesktopEntryIndex::resolveProgram(arguments[i], searchPath, folder);
    if (!program)
        return std::nullopt;
    // A symbolic link may give an interpreter another name, so the canonical name counts too.
    auto family = DesktopEntryIndex::interpreterFamily(arguments[i]);
    if (family.empty())
        family = DesktopEntryIndex::interpreterFamily(*program);
    if (family.empty())
        return Invocation{Kind::program, *program, {}, {}};
    if (family == "env")
        return throughEnv(std::move(arguments), i + 1, searchPath, std::move(folder), depth);

    if (family == "shell") {
        if (const auto command = shellCommandString(arguments, i + 1)) {
            auto target = finalCommand(*command, folder);
            if (!target)
                return std::nullopt;
            auto result =
                invocationOfArguments(std::move(target->words), 0, searchPath, std::move(target->folder), depth + 1);
            if (result)
                result->launchers.insert(result->launchers.begin(), *program);
            return result;
        }
    }
    const auto operand = operandOf(family, arguments, i + 1);
    // An interpreter that runs nothing named ("python3 -c ...") is no application.
    if (!operand)
        return std::nullopt;
    std::string value = operand->value;
    if (operand->kind == Kind::script || operand->kind == Kind::jar) {
        const std::filesystem::path path(value);
        if (path.is_absolute())
            value = normalPath(path).string();
        else if (!folder.empty())
            value = normalPath(folder / path).string();
        else
            value = path.lexically_normal().string();
    }
    return Invocation{operand->kind, *program, std::move(value), {*program}};
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

std::string DesktopEntryIndex::interpreterFamily(const std::filesystem::path& program)
{
    static const std::map<std::string_view, std::string_view> kFamilies = {
        {"python", "python"}, {"pypy", "python"}, {"sh", "shell"},     {"bash", "shell"},   {"dash", "shell"},
        {"zsh", "shell"},     {"ksh", "shell"},   {"mksh", "shell"},   {"ash", "shell"},    {"yash", "shell"},
        {"fish", "shell"},    {"node", "node"},   {"nodejs", "node"},  {"java", "java"},    {"flatpak", "flatpak"},
        {"env", "env"},       {"perl", "perl"},   {"ruby", "ruby"},    {"lua", "lua"},      {"luajit", "lua"},
        {"php", "php"},       {"tclsh", "tcl"},   {"wish", "tcl"},     {"gjs", "gjs"},      {"Rscript", "R"},
        {"julia", "julia"},   {"guile", "guile"}, {"mono", "mono"}};
    std::string name = program.filename().string();
    while (!name.empty() && ((name.back() >= '0' && name.back() <= '9') || name.back() == '.'))
        name.pop_back();
    const auto found = kFamilies.find(name);
    return found == kFamilies.end() ? std::string() : std::string(found->second);
}

std::optional<std::filesystem::path> DesktopEntryIndex::resolveProgram(const std::string& program,
                                                                       const std::string& searchPath,
                                                                       const std::filesystem::path& folder)
{
    if (program.empty())
        return std::nullopt;
    std::filesystem::path found;
    if (program.front() == '/') {
        found = program;
    } else if (program.find('/') != std::string::npos) {
        if (folder.empty())
            return std::nullopt;
        found = folder / program;
    } else {
        std::size_t start = 0;
        while (start <= searchPath.size() && found.empty()) {
            auto end = searchPath.find(':', start);
            if (end == std::string::npos)
                end = searchPath.size();
            const std::string entry = searchPath.substr(start, end - start);
            start = end + 1;
            if (!entry.empty() && isExecutableFile(std::filesystem::path(entry) / program))
                found = std::filesystem::path(entry) / program;
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

std::optional<DesktopEntryIndex::Invocation> DesktopEntryIndex::invocationOf(const std::string& exec,
                                                                             const std::string& searchPath,
                                                                             const std::filesystem::path& folder)
{
    return invocationOfArguments(execArguments(exec), 0, searchPath, folder, 0);
}

DesktopEntryIndex::Invocation DesktopEntryIndex::runningInvocation(const std::filesystem::path& program,
                                                                   const std::vector<std::string>& arguments)
{
    const auto family = interpreterFamily(program);
    if (!family.empty() && family != "env") {
        if (const auto operand = operandOf(family, arguments, 1))
            return Invocation{operand->kind, program, operand->value, {}};
    }
    return Invocation{Kind::program, program, {}, {}};
}

void DesktopEntryIndex::addProgram(const std::filesystem::path& program, const std::string& id,
                                   const std::string& searchPath)
{
    if (!programs_.emplace(program, id).second)
        return;
    triggers_.insert(program);
    // The kernel runs "#!interpreter [argument]" scripts as: interpreter [argument] script ...
    const auto line = readPrefix(program, kMaximumShebangLine);
    if (!line.starts_with("#!"))
        return;
    std::vector<std::string> words;
    std::size_t start = 2;
    const auto end = std::min(line.find('\n'), line.size());
    while (start < end) {
        start = line.find_first_not_of(" \t\r", start);
        if (start >= end)
            break;
        const auto stop = std::min(line.find_first_of(" \t\r\n", start), end);
        words.push_back(line.substr(start, stop - start));
        start = stop;
    }
    if (words.empty())
        return;
    std::size_t i = 0;
    // "#!/usr/bin/env [-S] NAME": NAME found on the search path runs the script.
    if (std::filesystem::path(words[0]).filename() == "env") {
        i = 1;
        while (i < words.size() && (isOption(words[i]) || isAssignment(words[i])))
            ++i;
        if (i == words.size())
            return;
    }
    auto interpreter = resolveProgram(words[i], searchPath).value_or(std::filesystem::path());
    auto family = interpreterFamily(words[i]);
    if (family.empty())
        family = interpreterFamily(interpreter);
    scriptInterpreters_.emplace(program, ScriptInterpreter{std::move(interpreter), std::move(family)});
}

void DesktopEntryIndex::addClaims(const std::string& id, const std::string& exec, const std::string& tryExec,
                                  const std::filesystem::path& folder, const std::string& searchPath)
{
    if (const auto invocation = invocationOf(exec, searchPath, folder)) {
        triggers_.insert(invocation->launchers.begin(), invocation->launchers.end());
        if (invocation->kind == Kind::program) {
            addProgram(invocation->program, id, searchPath);
        } else if (invocation->kind != Kind::flatpak) {
            // A Flatpak launch is named by its own ID at run time; nothing to remember.
            const bool relative =
                invocation->kind != Kind::module && !std::filesystem::path(invocation->operand).is_absolute();
            operandClaims_.push_back(OperandClaim{invocation->kind, invocation->program,
                                                  interpreterFamily(invocation->program), invocation->operand, relative,
                                                  id});
        }
    }
    // TryExec names the installed program; an interpreter there says nothing about the entry.
    if (!tryExec.empty()) {
        if (const auto program = resolveProgram(tryExec, searchPath, folder);
            program && interpreterFamily(tryExec).empty() && interpreterFamily(*program).empty()) {
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
    const auto family = interpreterFamily(running.program);
    const std::filesystem::path operand(running.operand);
    std::filesystem::path absolute;
    if (running.kind != Kind::module) {
        if (operand.is_absolute())
            absolute = normalPath(operand);
        else if (!workingFolder.empty())
            absolute = normalPath(workingFolder / operand);
    }
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
                      (!wanted.family.empty() && wanted.family == interpreterFamily(interpreter));
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
