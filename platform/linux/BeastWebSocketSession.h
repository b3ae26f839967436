#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Expected.h"
#include "platform/WebSocketTransport.h"

namespace tessary {

// WebSocket connections over TLS with Boost.Beast, all served by one io thread of the
// session's own (its serial callback queue). Peer and host name are always verified, SNI is
// set, TLS 1.2 or later, with the system's trust store plus, when given, one extra CA.
// Nothing the caller does waits on the network: names are looked up on threads of their own
// that nobody joins, and cancelling or destroying the session closes sockets without a wait.
class BeastWebSocketSession final : public WebSocketSession {
public:
    struct Timing {
        // An open connection that received nothing for this long is pinged ...
        std::chrono::milliseconds pingAfterIdle = std::chrono::seconds(30);
        // ... and counts as lost when nothing at all arrives within this time after the ping.
        std::chrono::milliseconds answerWithin = std::chrono::seconds(10);
        // Each address of the host gets this long to accept the TCP connection.
        std::chrono::milliseconds connectPerAddress = std::chrono::seconds(10);
    };

    // The numeric addresses (IPv6 or IPv4) of a host, in the order to try them. May block; it
    // runs on a thread of its own.
    using NameLookup = std::function<Expected<std::vector<std::string>>(const std::string& host)>;

    // TlsConnector's: getaddrinfo, both address families, duplicates removed.
    static Expected<std::vector<std::string>> systemNameLookup(const std::string& host);

    explicit BeastWebSocketSession(std::optional<std::filesystem::path> extraCaFile = std::nullopt);
    BeastWebSocketSession(std::optional<std::filesystem::path> extraCaFile, Timing timing,
                          NameLookup lookup = systemNameLookup);
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
