#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/HttpTransport.h"

namespace tessary {

// Boost.Beast on one io thread of its own ("https"), every request an HttpsExchange of its own,
// all running concurrently. Peer and host name are always verified, TLS 1.2 or later, with the
// system's trust store plus, when given, one extra CA certificate. Replies larger than 16 MiB fail.
// The environment's proxy settings are not read.
class BeastHttpTransport final : public HttpTransport {
public:
    explicit BeastHttpTransport(std::optional<std::filesystem::path> extraCaFile = std::nullopt,
                                std::chrono::seconds defaultTimeout = std::chrono::seconds(60));
    // Requests still running or waiting end as "cancelled" before this returns.
    ~BeastHttpTransport() override;
    BeastHttpTransport(const BeastHttpTransport&) = delete;
    BeastHttpTransport& operator=(const BeastHttpTransport&) = delete;

    void send(HttpRequest request, Completion completion) override;

private:
    struct Core;

    const std::chrono::seconds defaultTimeout_;
    std::unique_ptr<Core> core_;
};

}  // namespace tessary
