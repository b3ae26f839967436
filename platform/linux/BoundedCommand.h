#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tessary {

// Runs a helper program to its end within a time limit, for a caller that must not wait long
// (the main thread asking the service manager). Standard input and error are /dev/null.
class BoundedCommand {
public:
    struct Result {
        int exitStatus = 0;
        std::string output;  // standard output
    };

    // Absent when the program could not be started, was killed by a signal, or did not finish in
    // time (it is then killed and reaped). The program is looked up in PATH.
    static std::optional<Result> run(const std::vector<std::string>& arguments, std::chrono::milliseconds limit);
};

}  // namespace tessary
