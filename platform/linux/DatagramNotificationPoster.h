#pragma once

#include <filesystem>

#include "platform/NotificationPoster.h"

namespace tessary {

// Sends one empty-ish datagram to the agent's socket. Non-blocking; every failure (no agent,
// full receive buffer, path too long) is silently ignored, as the agent also polls.
class DatagramNotificationPoster final : public NotificationPoster {
public:
    explicit DatagramNotificationPoster(std::filesystem::path socketPath) : socketPath_(std::move(socketPath)) {}

    void post() override;

private:
    std::filesystem::path socketPath_;
};

}  // namespace tessary
