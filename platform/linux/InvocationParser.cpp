#include "platform/linux/InvocationParser.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <unistd.h>
#include <utility>

namespace tessary {
namespace {

using Invocation = InvocationParser::Invocation;
using Kind = Invocation::Kind;
using Arguments = std::vector<std::string>;

// env, "sh -c" and env again may nest; deeper than this is no real entry.
constexpr int kMaximumNesting = 8;

bool isFieldCode(const std::string& argument)
{
    return argument.size() == 2 && argument[0] == '%' &&
        std::string_view("fFuUdDnNickvm").find(argument[1]) != std::string_view::npos;
}

// Splits an Exec= value into arguments: blanks separate them, double and single quotes group, and
// inside double quotes a backslash escapes the next character. Field codes (%U, ...) stand for
// the launch's files and are left out.
Arguments execArguments(std::string_view exec)
{
    Arguments arguments;
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

std::filesystem::path normalPath(const std::filesystem::path& path)
{
    std::error_code error;
    auto result = std::filesystem::weakly_canonical(path, error);
    return error ? path.lexically_normal() : result;
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

// What one interpreter runs, from its arguments after the program.
using OperandParser = std::function<std::optional<Operand>(const Arguments& arguments, std::size_t i)>;

// python [options] (script | -m module | -c command)
std::optional<Operand> pythonOperand(const Arguments& arguments, std::size_t i)
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
std::optional<Operand> javaOperand(const Arguments& arguments, std::size_t i)
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
std::optional<Operand> flatpakOperand(const Arguments& arguments, std::size_t i)
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

// The options of an interpreter run as "[options] script [arguments]".
struct ScriptOptions {
    // Take the next argument as their value.
    std::set<std::string_view> withValue;
    // Give the program inline, so nothing named runs.
    std::set<std::string_view> inlineProgram;
    // Shells also take "+o"-style options, and a cluster of one-letter options holding c runs a
    // command string.
    bool shell;
};

// The first argument after the options is the script.
std::optional<Operand> scriptOperand(const ScriptOptions& options, const Arguments& arguments, std::size_t i)
{
    for (; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument == "--")
            return i + 1 < arguments.size() ? std::optional<Operand>({Kind::script, arguments[i + 1]}) : std::nullopt;
        if (argument == "-")
            return std::nullopt;
        const bool plusOption = options.shell && argument.size() > 1 && argument.front() == '+';
        if (!isOption(argument) && !plusOption)
            return Operand{Kind::script, argument};
        if (options.withValue.contains(argument))
            ++i;
        else if (options.inlineProgram.contains(argument) ||
                 (options.shell && !argument.starts_with("--") && argument.find('c') != std::string::npos))
            return std::nullopt;
    }
    return std::nullopt;
}

OperandParser scriptParser(ScriptOptions options)
{
    return [options = std::move(options)](const Arguments& arguments, std::size_t i) {
        return scriptOperand(options, arguments, i);
    };
}

// One parser per interpreter family; env runs a program, not an operand, and has none.
std::optional<Operand> operandOf(const std::string& family, const Arguments& arguments, std::size_t i)
{
    static const ScriptOptions kShell = {.withValue = {"-o", "+o"}, .inlineProgram = {}, .shell = true};
    // perl, ruby, node and the like.
    static const ScriptOptions kScript = {
        .withValue = {"-I", "-l"},
        .inlineProgram = {"-e", "-E", "-r", "-p", "--eval", "--print", "--command"},
        .shell = false};
    static const ScriptOptions kGjs = {
        .withValue = {"-I", "-l"},
        .inlineProgram = {"-c", "-e", "-E", "-r", "-p", "--eval", "--print", "--command"},
        .shell = false};
    static const std::map<std::string_view, OperandParser> kParsers = {
        {"python", pythonOperand},          {"java", javaOperand},             {"flatpak", flatpakOperand},
        {"shell", scriptParser(kShell)},    {"gjs", scriptParser(kGjs)},       {"node", scriptParser(kScript)},
        {"perl", scriptParser(kScript)},    {"ruby", scriptParser(kScript)},   {"lua", scriptParser(kScript)},
        {"php", scriptParser(kScript)},     {"tcl", scriptParser(kScript)},    {"R", scriptParser(kScript)},
        {"julia", scriptParser(kScript)},   {"guile", scriptParser(kScript)},  {"mono", scriptParser(kScript)}};
    const auto parser = kParsers.find(family);
    return parser == kParsers.end() ? std::nullopt : parser->second(arguments, i);
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
std::optional<std::vector<Arguments>> shellCommands(std::string_view text)
{
    static const std::set<std::string_view> kKeywords = {"if", "then", "else", "elif", "fi", "for", "while", "until",
                                                         "do", "done", "case", "esac", "function", "select", "!",
                                                         "{", "}", "[[", "]]"};
    std::vector<Arguments> commands(1);
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
Arguments programWords(Arguments words)
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
bool isIncidental(const Arguments& words)
{
    static const std::set<std::string_view> kIncidental = {"true", "false", ":",     "echo", "printf", "wait",
                                                           "exit", "return", "test", "[",    "set",    "unset",
                                                           "export", "trap", "shift", "read", "sleep", "cd"};
    return words.empty() || kIncidental.contains(words.front());
}

struct ShellTarget {
    Arguments words;
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

std::optional<Invocation> invocationOfArguments(Arguments arguments, std::size_t i, const std::string& searchPath,
                                                std::filesystem::path folder, int depth);

// env [options] [NAME=value ...] program ...: env execs the program.
std::optional<Invocation> throughEnv(Arguments arguments, std::size_t i, const std::string& searchPath,
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
std::optional<std::string> shellCommandString(const Arguments& arguments, std::size_t i)
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

std::optional<Invocation> invocationOfArguments(Arguments arguments, std::size_t i, const std::string& searchPath,
                                                std::filesystem::path folder, int depth)
{
    if (depth > kMaximumNesting || i >= arguments.size())
        return std::nullopt;
    const auto program = InvocationParser::resolveProgram(arguments[i], searchPath, folder);
    if (!program)
        return std::nullopt;
    // A symbolic link may give an interpreter another name, so the canonical name counts too.
    auto family = InvocationParser::interpreterFamily(arguments[i]);
    if (family.empty())
        family = InvocationParser::interpreterFamily(*program);
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
    if (operand->kind == Kind::script || operand->kind == Kind::jar)
        value = InvocationParser::operandPath(value, folder).string();
    return Invocation{operand->kind, *program, std::move(value), {*program}};
}

}  // namespace

std::optional<InvocationParser::Invocation> InvocationParser::invocationOf(const std::string& exec,
                                                                           const std::string& searchPath,
                                                                           const std::filesystem::path& folder)
{
    return invocationOfArguments(execArguments(exec), 0, searchPath, folder, 0);
}

InvocationParser::Invocation InvocationParser::runningInvocation(const std::filesystem::path& program,
                                                                 const std::vector<std::string>& arguments)
{
    const auto family = interpreterFamily(program);
    if (!family.empty() && family != "env") {
        if (const auto operand = operandOf(family, arguments, 1))
            return Invocation{operand->kind, program, operand->value, {}};
    }
    return Invocation{Kind::program, program, {}, {}};
}

std::optional<std::string> InvocationParser::shebangInterpreter(std::string_view firstLine)
{
    if (!firstLine.starts_with("#!"))
        return std::nullopt;
    Arguments words;
    std::size_t start = 2;
    const auto end = std::min(firstLine.find('\n'), firstLine.size());
    while (start < end) {
        start = firstLine.find_first_not_of(" \t\r", start);
        if (start >= end)
            break;
        const auto stop = std::min(firstLine.find_first_of(" \t\r\n", start), end);
        words.emplace_back(firstLine.substr(start, stop - start));
        start = stop;
    }
    if (words.empty())
        return std::nullopt;
    std::size_t i = 0;
    // "#!/usr/bin/env [-S] NAME": NAME found on the search path runs the script.
    if (std::filesystem::path(words[0]).filename() == "env") {
        i = 1;
        while (i < words.size() && (isOption(words[i]) || isAssignment(words[i])))
            ++i;
        if (i == words.size())
            return std::nullopt;
    }
    return words[i];
}

std::filesystem::path InvocationParser::operandPath(const std::string& operand, const std::filesystem::path& folder)
{
    const std::filesystem::path path(operand);
    if (path.is_absolute())
        return normalPath(path);
    if (!folder.empty())
        return normalPath(folder / path);
    return path.lexically_normal();
}

std::optional<std::filesystem::path> InvocationParser::resolveProgram(const std::string& program,
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

std::string InvocationParser::interpreterFamily(const std::filesystem::path& program)
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

}  // namespace tessary
