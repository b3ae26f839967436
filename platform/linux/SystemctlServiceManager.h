#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"

namespace tessary {

// The user's systemd instance, reached through systemctl --user with a short limit on every call.
class SystemctlServiceManager final : public ServiceManager {
public:
    // unitPath: where the keep-alive unit is written; the manager must read it from there.
    SystemctlServiceManager(std::string unitName, std::filesystem::path unitPath,
                            std::string systemctl = "systemctl",
                            std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

    bool canStartKeepAliveAgent() override;
    bool startKeepAliveAgent() override;
    void reloadDefinitions() override;

private:
    std::optional<std::string> run(std::vector<std::string> arguments) const;

    std::string unitName_;
    std::filesystem::path unitPath_;
    std::string systemctl_;
    std::chrono::milliseconds limit_;
};

}  // namespace tessary
