#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Expected.h"

namespace tessary {

// Secret items keyed by (service, account), holding bytes unchanged. Main thread only, and it
// never makes the main thread wait on a keyring: open() reads a service's items elsewhere, and
// from then on they are answered from memory, each write taking effect at once and reaching the
// backend later, in order (a failed write is retried by the store; callers hear of no error).
class SecureStore {
public:
    // Absent once the items are read, else why the backend cannot be read now.
    using OpenCompletion = std::function<void(std::optional<Error>)>;

    virtual ~SecureStore() = default;
    // Reads the service's items; the completion runs on the main thread, possibly before open
    // returns. After a failure open may be called again. Until an open has succeeded the service
    // has no items and writes to it are dropped, so nothing stored is ever replaced unseen.
    virtual void open(const std::string& service, OpenCompletion completion) = 0;
    virtual void save(const std::string& service, const std::string& account, const std::string& bytes) = 0;
    virtual std::optional<std::string> load(const std::string& service, const std::string& account) = 0;
    virtual void remove(const std::string& service, const std::string& account) = 0;
};

}  // namespace tessary
