#pragma once

#include <chrono>
#include <cstdint>

namespace tessary {

// Wall time, for timestamps. Delays are the main queue's business, never the wall clock's.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() const = 0;

    // Whole seconds since 1970-01-01 UTC, truncated toward zero.
    std::int64_t secondsSinceEpoch() const;
};

class SystemClock final : public Clock {
public:
    std::chrono::system_clock::time_point now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace tessary
