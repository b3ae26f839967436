#pragma once

#include <filesystem>

#include "platform/SecureStore.h"

namespace tessary {

// Secrets in one file readable by the user alone (mode 0600), replaced whole on every write.
// Used where no Secret Service answers.
class FileSecureStore final : public SecureStore {
public:
    explicit FileSecureStore(std::filesystem::path file);

    void save(const std::string& service, const std::string& account, const std::string& bytes) override;
    std::optional<std::string> load(const std::string& service, const std::string& account) override;
    void remove(const std::string& service, const std::string& account) override;

private:
    std::filesystem::path file_;
};

}  // namespace tessary
