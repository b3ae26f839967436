#include "platform/Clock.h"

namespace tessary {

std::int64_t Clock::secondsSinceEpoch() const
{
    // duration_cast truncates toward zero, also before 1970.
    return std::chrono::duration_cast<std::chrono::seconds>(now().time_since_epoch()).count();
}

}  // namespace tessary
