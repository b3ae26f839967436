#include "platform/linux/StopSignal.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace tessary {

StopSignal::StopSignal() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void StopSignal::raise()
{
    raised_ = true;
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter is full, and a full counter wakes the waiters too.
    if (wake_ && ::write(wake_.get(), &one, sizeof one) < 0) {
    }
}

}  // namespace tessary
