#pragma once

#include <chrono>

#include "platform/Clock.h"

namespace tessary::testing {

class ManualClock final : public Clock {
public:
    explicit ManualClock(std::chrono::system_clock::time_point start = std::chrono::system_clock::time_point(
                             std::chrono::seconds(1'700'000'000)))
        : now_(start)
    {
    }
    std::chrono::system_clock::time_point now() const override { return now_; }
    void set(std::chrono::system_clock::time_point time) { now_ = time; }

private:
    std::chrono::system_clock::time_point now_;
};

}  // namespace tessary::testing
