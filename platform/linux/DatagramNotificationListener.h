#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/MainQueue.h"
#include "platform/NotificationListener.h"
#include "platform/linux/ScopedFd.h"

namespace tessary {

// Binds the datagram socket that browser components post to, and turns each datagram into one
// callback on the main queue. A reader thread waits on the socket; the main thread never blocks.
class DatagramNotificationListener final : public NotificationListener {
public:
    // `threadName` names the reader thread (at most 15 characters) for the one who looks at it.
    DatagramNotificationListener(std::filesystem::path socketPath, std::shared_ptr<MainQueue> mainQueue,
                                 std::string threadName = "browser notes");
    ~DatagramNotificationListener() override;
    DatagramNotificationListener(const DatagramNotificationListener&) = delete;
    DatagramNotificationListener& operator=(const DatagramNotificationListener&) = delete;

    [[nodiscard]] std::optional<Error> start(std::function<void()> onNotification) override;
    void stop() override;

private:
    // Shared with work already posted to the main queue, so a stopped listener's posts do nothing.
    struct Delivery {
        std::function<void()> callback;
        bool active = true;
    };

    void receiveLoop(int socketFd, int stopFd, std::shared_ptr<Delivery> delivery);

    std::filesystem::path socketPath_;
    std::shared_ptr<MainQueue> mainQueue_;
    std::string threadName_;
    std::shared_ptr<Delivery> delivery_;
    std::thread reader_;
    ScopedFd socketFd_;
    ScopedFd stopFd_;
};

}  // namespace tessary
