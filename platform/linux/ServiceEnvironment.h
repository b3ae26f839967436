#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessary {

// The development overrides for reaching a service other than the built-in one.
class ServiceEnvironment {
public:
    // TESSARY_SERVICE_URL, when set and not empty.
    static std::optional<std::string> serviceURL();
    // TESSARY_CA_FILE: one extra trusted CA certificate (PEM), when set and not empty.
    static std::optional<std::filesystem::path> extraCaFile();
};

}  // namespace tessary
