#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/RunningApplication.h"

namespace tessary::testing {

class FakeRunningApplication final : public RunningApplication {
public:
    FakeRunningApplication(std::optional<std::string> bundleId, std::optional<std::string> name,
                           std::vector<std::string> otherIds = {})
        : bundleId_(std::move(bundleId)), name_(std::move(name)), otherIds_(std::move(otherIds))
    {
    }
    std::optional<std::string> bundleIdentifier() const override { return bundleId_; }
    std::optional<std::string> localizedName() const override { return name_; }
    std::vector<std::string> otherIdentifiers() const override { return otherIds_; }
    bool forceTerminate() override
    {
        ++terminations;
        return true;
    }

    int terminations = 0;

private:
    std::optional<std::string> bundleId_;
    std::optional<std::string> name_;
    std::vector<std::string> otherIds_;
};

}  // namespace tessary::testing
