#pragma once

namespace tessary {

// Wakes the agent after a browser component has appended to the shared event queue. The wake-up
// carries no data. Posting never blocks and never fails the caller: nobody listening is normal.
class NotificationPoster {
public:
    virtual ~NotificationPoster() = default;
    virtual void post() = 0;
};

}  // namespace tessary
