#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/WebSocketTransport.h"

namespace tessary::testing {

// A connection that keeps what is sent on it and whether its owner cancelled it.
class FakeWebSocketConnection final : public WebSocketConnection {
public:
    void sendText(std::string text, SendCompletion completion) override
    {
        sent.push_back(nlohmann::json::parse(text));
        completion(std::nullopt);
    }
    void cancel(std::uint16_t closeCode) override { cancelledWith = closeCode; }

    std::vector<nlohmann::json> sent;
    std::optional<std::uint16_t> cancelledWith;
};

// A session whose connections the test drives: it reports opens, frames and failures through
// the observer the client gave, on the test's thread.
class FakeWebSocketSession final : public WebSocketSession {
public:
    struct Opened {
        WebSocketRequest request;
        std::weak_ptr<WebSocketObserver> observer;
        std::shared_ptr<FakeWebSocketConnection> connection;
    };

    std::shared_ptr<WebSocketConnection> open(WebSocketRequest request,
                                              std::weak_ptr<WebSocketObserver> observer) override
    {
        auto connection = std::make_shared<FakeWebSocketConnection>();
        opened.push_back({std::move(request), std::move(observer), connection});
        return connection;
    }
    void invalidateAndCancel() override { invalidated = true; }

    std::shared_ptr<WebSocketObserver> lastObserver() const
    {
        return opened.empty() ? nullptr : opened.back().observer.lock();
    }

    std::vector<Opened> opened;
    bool invalidated = false;
};

}  // namespace tessary::testing
