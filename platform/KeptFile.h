#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Expected.h"

namespace tessary {

// A file of the agent's own, replaced whole and read back at a later start.
class KeptFile {
public:
    virtual ~KeptFile() = default;

    // The bytes; absent when there is no file, or it cannot be read or is larger than any the
    // agent writes.
    virtual std::optional<std::string> read() = 0;
    // Absent on success.
    [[nodiscard]] virtual std::optional<Error> write(std::string_view bytes) = 0;
    virtual void remove() = 0;
};

}  // namespace tessary
