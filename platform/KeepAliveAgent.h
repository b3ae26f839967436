#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Expected.h"

namespace tessary {

// The per-user definition that has the session's service manager start the agent with the
// graphical session and start it again whenever it ends.
class KeepAliveAgent {
public:
    // A copy the keep-alive agent started while another copy already runs leaves with this status;
    // the definition tells the service manager not to start it again after it.
    static constexpr int kDuplicateExitStatus = 75;

    enum class Definition {
        absent,
        current,  // exactly what install() writes for this executable
        earlier,  // what an earlier version of the agent wrote for this executable
        foreign,  // anything else: never rewritten
    };

    virtual ~KeepAliveAgent() = default;

    virtual Definition definition(const std::filesystem::path& executable) = 0;
    // Writes the definition for the executable over whatever is there and has it start with the
    // session. Absent on success.
    [[nodiscard]] virtual std::optional<Error> install(const std::filesystem::path& executable) = 0;
    // Has an installed definition start with the session again where that was undone; does
    // nothing when it already does. Absent on success.
    [[nodiscard]] virtual std::optional<Error> enable() = 0;
    // Deletes the definition; false when there was none.
    virtual bool remove() = 0;
    // What the user put in place to change the definition without replacing it (a mask, files
    // that override its settings), each described; empty when nothing does.
    virtual std::vector<std::string> overrides() = 0;
};

}  // namespace tessary
