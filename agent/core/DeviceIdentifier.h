#pragma once

#include <string>

namespace tessary {

class DeviceConfig;

// "device-" followed by a random UUID in canonical lower-case form.
class DeviceIdentifier {
public:
    static std::string generate();
    // The stored identifier, or a new one that is stored first.
    static std::string loadOrCreate(DeviceConfig& config);
    static bool isWellFormed(const std::string& identifier);
};

}  // namespace tessary
