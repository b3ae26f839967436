#include "tests/support/SpawnArguments.h"

extern char** environ;

namespace tessary::testing {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

SpawnArguments::SpawnArguments(std::vector<std::string> arguments,
                               const std::map<std::string, std::string>& environment)
    : arguments_(std::move(arguments))
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
    for (const auto& [key, value] : merged)
        environment_.push_back(key + "=" + value);
    argv_ = pointers(arguments_);
    envp_ = pointers(environment_);
}

}  // namespace tessary::testing
