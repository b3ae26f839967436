#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/SecureStore.h"

namespace tessary {

// The agent's three credentials ("deviceId", "token", "familyId") in the secure store,
// filed under one service name. Keeps nothing itself; once opened, every call is answered at once
// and none reports an error to its caller.
class DeviceConfig {
public:
    static constexpr const char* kServiceName = "app.brenmoor.tessary.device";

    DeviceConfig(std::shared_ptr<SecureStore> store, std::string serviceName);

    const std::string& serviceName() const { return serviceName_; }

    // Reads the stored credentials without blocking the main thread; the completion runs there,
    // with why the store cannot be read now (then open may be called again). Until it has
    // succeeded, every credential is absent and saves are dropped.
    void open(SecureStore::OpenCompletion completion);

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
