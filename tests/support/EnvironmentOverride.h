#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace tessary::testing {

// Sets (or, given no value, removes) one variable of this process's environment for its lifetime,
// then puts back what was there.
class EnvironmentOverride {
public:
    EnvironmentOverride(std::string name, const char* value) : name_(std::move(name))
    {
        if (const char* before = std::getenv(name_.c_str()); before != nullptr)
            before_ = before;
        set(value);
    }
    ~EnvironmentOverride() { set(before_ ? before_->c_str() : nullptr); }
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

    void set(const char* value) const
    {
        if (value != nullptr)
            ::setenv(name_.c_str(), value, 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> before_;
};

}  // namespace tessary::testing
