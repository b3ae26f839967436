#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/SecureStore.h"

namespace tessary {

// The agent's three credentials ("deviceId", "token", "familyId") in the secure store,
// filed under one service name. Stateless; never reports an error to its caller.
class DeviceConfig {
public:
    static constexpr const char* kServiceName = "app.brenmoor.tessary.device";

    DeviceConfig(std::shared_ptr<SecureStore> store, std::string serviceName);

    const std::string& serviceName() const { return serviceName_; }

    // Replaces any existing value: delete, then add.
    void save(const std::string& value, const std::string& key);
    // Absent when nothing readable is stored, including bytes that are not UTF-8.
    std::optional<std::string> load(const std::string& key) const;
    void remove(const std::string& key);

private:
    std::shared_ptr<SecureStore> store_;
    std::string serviceName_;
};

}  // namespace tessary
