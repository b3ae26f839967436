#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Expected.h"

namespace tessary {

struct WebSocketRequest {
    // wss://host[:port]/path
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What one connection reports, always on its session's single callback thread, in order.
class WebSocketObserver {
public:
    virtual ~WebSocketObserver() = default;
    virtual void webSocketDidOpen() = 0;
    virtual void webSocketDidReceiveText(std::string text) = 0;
    // A binary frame; the receive loop continues.
    virtual void webSocketDidReceiveData() = 0;
    // The connection failed or was cancelled; upgradeStatus is the HTTP status of the upgrade
    // reply when one arrived. Nothing more is reported after this.
    virtual void webSocketReceiveDidFail(const Error& error, std::optional<int> upgradeStatus) = 0;
    // The service closed the connection with this code. Nothing more is reported after this.
    virtual void webSocketDidClose(int code) = 0;
};

// One connection. Sends given before the connection opens wait for it.
class WebSocketConnection {
public:
    using SendCompletion = std::function<void(std::optional<Error>)>;

    virtual ~WebSocketConnection() = default;
    // The completion runs on the session's callback thread.
    virtual void sendText(std::string text, SendCompletion completion) = 0;
    // Closes with this code (or drops the connection when not open yet).
    virtual void cancel(std::uint16_t closeCode) = 0;
};

// The client's own session: one callback thread serving all its connections. Observers are
// held weakly; a gone observer simply hears nothing.
class WebSocketSession {
public:
    virtual ~WebSocketSession() = default;
    virtual std::shared_ptr<WebSocketConnection> open(WebSocketRequest request,
                                                      std::weak_ptr<WebSocketObserver> observer) = 0;
    // Cancels every connection; the session opens nothing afterwards.
    virtual void invalidateAndCancel() = 0;
};

}  // namespace tessary
