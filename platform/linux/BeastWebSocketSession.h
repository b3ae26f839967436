#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/WebSocketTransport.h"

namespace tessary {

// WebSocket connections over TLS with Boost.Beast, all served by one io thread of the
// session's own (its serial callback queue). Peer and host name are always verified, SNI is
// set, TLS 1.2 or later, with the system's trust store plus, when given, one extra CA.
class BeastWebSocketSession final : public WebSocketSession {
public:
    explicit BeastWebSocketSession(std::optional<std::filesystem::path> extraCaFile = std::nullopt);
    ~BeastWebSocketSession() override;
    BeastWebSocketSession(const BeastWebSocketSession&) = delete;
    BeastWebSocketSession& operator=(const BeastWebSocketSession&) = delete;

    std::shared_ptr<WebSocketConnection> open(WebSocketRequest request,
                                              std::weak_ptr<WebSocketObserver> observer) override;
    void invalidateAndCancel() override;

private:
    class Connection;
    struct Core;

    std::shared_ptr<Core> core_;
};

}  // namespace tessary
