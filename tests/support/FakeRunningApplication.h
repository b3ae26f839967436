#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/RunningApplication.h"

namespace tessary::testing {

class FakeRunningApplication final : public RunningApplication {
public:
    FakeRunningApplication(std::optional<std::string> bundleId, std::optional<std::string> name)
        : bundleId_(std::move(bundleId)), name_(std::move(name))
    {
    }
    std::optional<std::string> bundleIdentifier() const override { return bundleId_; }
    std::optional<std::string> localizedName() const override { return name_; }
    bool forceTerminate() override
    {
        ++terminations;
        return true;
    }

    int terminations = 0;

private:
    std::optional<std::string> bundleId_;
    std::optional<std::string> name_;
};

}  // namespace tessary::testing
