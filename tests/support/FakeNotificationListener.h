#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/MainQueue.h"
#include "platform/NotificationListener.h"

namespace tessary::testing {

// The browsers' wake-up without a socket: post() delivers through the main queue, as the real
// listener does, and only while started.
class FakeNotificationListener final : public NotificationListener {
public:
    explicit FakeNotificationListener(std::shared_ptr<MainQueue> mainQueue) : mainQueue_(std::move(mainQueue)) {}

    std::optional<Error> start(std::function<void()> onNotification) override
    {
        if (failure)
            return failure;
        delivery_ = std::make_shared<std::function<void()>>(std::move(onNotification));
        return std::nullopt;
    }
    void stop() override { delivery_.reset(); }

    bool listening() const { return delivery_ != nullptr; }
    void post()
    {
        if (!delivery_)
            return;
        mainQueue_->post([weak = std::weak_ptr(delivery_)] {
            if (auto callback = weak.lock())
                (*callback)();
        });
    }

    std::optional<Error> failure;

private:
    std::shared_ptr<MainQueue> mainQueue_;
    std::shared_ptr<std::function<void()>> delivery_;
};

}  // namespace tessary::testing
