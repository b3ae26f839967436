#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/Expected.h"

namespace tessary {

// One service's items: account → bytes.
using CredentialItems = std::map<std::string, std::string>;

// A place that keeps credentials (the keyring, the private file). Its calls may block (D-Bus, an
// unlock prompt, the disk), so only the credential store's worker thread makes them, one at a time.
// Every call says whether the backend could do it: an unreachable backend is never "empty".
class CredentialBackend {
public:
    enum class Reach {
        answers,     // present and answering (it may still be locked)
        absent,      // not in this session at all
        noAnswer,    // present, or maybe present, but not answering now
    };

    virtual ~CredentialBackend() = default;

    // Never prompts and never waits long.
    virtual Reach reach() = 0;
    // Every item of the service, or why they cannot all be read now.
    virtual Expected<CredentialItems> readAll(const std::string& service) = 0;
    // Replaces any item for the account. Absent on success.
    [[nodiscard]] virtual std::optional<Error> write(const std::string& service, const std::string& account,
                                       const std::string& bytes) = 0;
    // Deleting an account without an item succeeds. Absent on success.
    [[nodiscard]] virtual std::optional<Error> erase(const std::string& service, const std::string& account) = 0;
    // From any thread: a call in progress and every later one fail at once (the process is ending).
    virtual void stop() {}
};

}  // namespace tessary
