#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessary::testing {

// A program started for a test, with this process's environment plus the given entries, standard
// input from `input` (when not negative), and standard output (and standard error, when asked)
// into a new pipe whose reading end is the caller's. The pid is -1 when it could not be started.
struct SpawnedProcess {
    pid_t pid = -1;
    int output = -1;
};
SpawnedProcess spawnWithOutputPipe(std::vector<std::string> arguments,
                                   const std::map<std::string, std::string>& environment, int input, bool withError);

}  // namespace tessary::testing
