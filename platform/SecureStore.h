#pragma once

#include <optional>
#include <string>

namespace tessary {

// Secret items keyed by (service, account), holding bytes unchanged. Failures are silent:
// a failed save leaves nothing readable, a failed load is absent.
class SecureStore {
public:
    virtual ~SecureStore() = default;
    virtual void save(const std::string& service, const std::string& account, const std::string& bytes) = 0;
    virtual std::optional<std::string> load(const std::string& service, const std::string& account) = 0;
    virtual void remove(const std::string& service, const std::string& account) = 0;
};

}  // namespace tessary
