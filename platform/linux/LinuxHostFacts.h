#pragma once

#include <filesystem>

#include "platform/HostFacts.h"

namespace tessary {

// The pretty host name from machine-info, else the kernel's host name; the passwd entry's name.
class LinuxHostFacts final : public HostFacts {
public:
    explicit LinuxHostFacts(std::filesystem::path machineInfo = "/etc/machine-info");

    std::optional<std::string> computerName() override;
    std::string userName() override;

private:
    std::filesystem::path machineInfo_;
};

}  // namespace tessary
