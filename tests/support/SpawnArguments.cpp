#include "tests/support/SpawnArguments.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace tessary::testing {

SpawnedProcess spawnWithOutputPipe(std::vector<std::string> arguments,
                                   const std::map<std::string, std::string>& environment, int input, bool withError)
{
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : environment)
        merged[key] = value;
    std::vector<std::string> entries;
    for (const auto& [key, value] : merged)
        entries.push_back(key + "=" + value);
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (auto& s : strings)
            out.push_back(s.data());
        out.push_back(nullptr);
        return out;
    };
    const auto argv = pointers(arguments);
    const auto envp = pointers(entries);

    SpawnedProcess spawned;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return spawned;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0)
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (withError)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    if (::posix_spawnp(&spawned.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        spawned.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    spawned.output = out[0];
    return spawned;
}

}  // namespace tessary::testing
