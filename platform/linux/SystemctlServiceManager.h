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
    // unitPaths: where the keep-alive unit may be (the user's, the system's); the manager must read
    // it from one of them.
    SystemctlServiceManager(std::string unitName, std::vector<std::filesystem::path> unitPaths,
                            std::string systemctl = "systemctl",
                            std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

    bool canStartKeepAliveAgent() override;
    bool startKeepAliveAgent() override;
    void reloadDefinitions() override;

private:
    std::optional<std::string> run(std::vector<std::string> arguments) const;

    std::string unitName_;
    std::vector<std::filesystem::path> unitPaths_;
    std::string systemctl_;
    std::chrono::milliseconds limit_;
};

}  // namespace tessary
