#pragma once

#include "platform/SecureStore.h"

namespace tessary {

// Items in the desktop keyring through the Secret Service, with the attributes "service" and
// "account" (the same items secret-tool reads and writes).
class SecretServiceStore final : public SecureStore {
public:
    // True when a Secret Service answers on the session bus.
    static bool isAvailable();

    void save(const std::string& service, const std::string& account, const std::string& bytes) override;
    std::optional<std::string> load(const std::string& service, const std::string& account) override;
    void remove(const std::string& service, const std::string& account) override;
};

}  // namespace tessary
