#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/Logger.h"

namespace tessary {

// What the agent found done against it, for the parent. Each finding is logged at error level when
// found and kept until a heartbeat that carried it has reached the service; a failed heartbeat
// leaves it for the next one. Main thread only.
class TamperReport {
public:
    static constexpr const char* kPrefix = "Tampering detected: ";

    TamperReport(Logger logger, std::size_t headerCharacters);

    // True when the finding is new, not one already waiting to be sent; only a new one is logged.
    bool record(const std::string& finding);

    struct Batch {
        // "Tampering detected: " and as many whole findings as fit, separated by "; ".
        std::string header;
        // The newest finding the batch carries.
        std::uint64_t upTo = 0;
    };
    // Absent when nothing waits to be sent.
    std::optional<Batch> nextBatch() const;
    // The heartbeat that carried findings up to this one reached the service.
    void delivered(std::uint64_t upTo);

private:
    struct Finding {
        std::uint64_t number;
        std::string text;
    };

    Logger logger_;
    std::size_t headerCharacters_;
    std::deque<Finding> pending_;
    std::uint64_t recorded_ = 0;
};

}  // namespace tessary
