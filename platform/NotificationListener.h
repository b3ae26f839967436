#pragma once

#include <functional>
#include <optional>

#include "platform/Expected.h"

namespace tessary {

// The agent's side of the browser wake-up: every post reaches the callback, on the main queue.
class NotificationListener {
public:
    virtual ~NotificationListener() = default;
    // Main thread. Absent on success; a second start replaces the callback.
    [[nodiscard]] virtual std::optional<Error> start(std::function<void()> onNotification) = 0;
    // Main thread. After it returns the callback never runs again, even for posts already queued.
    virtual void stop() = 0;
};

}  // namespace tessary
