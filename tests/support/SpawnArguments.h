#pragma once

#include <map>
#include <string>
#include <vector>

namespace tessary::testing {

// What posix_spawn takes, built from a test's arguments and environment: this process's
// environment with the given entries added or replaced, as NULL-terminated pointer arrays.
class SpawnArguments {
public:
    SpawnArguments(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment);

    char* const* argv() { return argv_.data(); }
    char* const* envp() { return envp_.data(); }

private:
    std::vector<std::string> arguments_;
    std::vector<std::string> environment_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

}  // namespace tessary::testing
