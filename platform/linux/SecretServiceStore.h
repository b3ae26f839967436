#pragma once

#include <memory>

#include "platform/linux/CredentialBackend.h"

namespace tessary {

// Items in the desktop keyring through the Secret Service, with the attributes "service" and
// "account" (the same items secret-tool reads and writes). Reading a locked keyring asks the
// desktop to unlock it (its prompt blocks the calling thread, never the main one); while it stays
// locked, reads fail instead of answering "absent".
class SecretServiceStore final : public CredentialBackend {
public:
    SecretServiceStore();
    ~SecretServiceStore() override;
    SecretServiceStore(const SecretServiceStore&) = delete;
    SecretServiceStore& operator=(const SecretServiceStore&) = delete;

    // Asks the bus whether the Secret Service answers (starting it when the bus can), waiting at
    // most five seconds.
    Reach reach() override;
    Expected<CredentialItems> readAll(const std::string& service) override;
    [[nodiscard]] std::optional<Error> write(const std::string& service, const std::string& account,
                               const std::string& bytes) override;
    [[nodiscard]] std::optional<Error> erase(const std::string& service, const std::string& account) override;
    void stop() override;

private:
    struct Session;
    std::unique_ptr<Session> session_;
};

}  // namespace tessary
