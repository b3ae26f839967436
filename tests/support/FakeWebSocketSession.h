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

// A connection that keeps what is sent on it and whether its owner cancelled it. Each send is
// written at once, unless the test holds the writes and finishes them itself.
class FakeWebSocketConnection final : public WebSocketConnection {
public:
    void sendText(std::string text, SendCompletion completion) override
    {
        sent.push_back(nlohmann::json::parse(text));
        if (holdWrites)
            unwritten.push_back(std::move(completion));
        else
            completion(std::nullopt);
    }
    void cancel(std::uint16_t closeCode) override { cancelledWith = closeCode; }

    // Finishes the oldest held writes, with this outcome.
    void finishWrites(std::size_t count, const std::optional<Error>& outcome = std::nullopt)
    {
        for (std::size_t i = 0; i < count && !unwritten.empty(); ++i) {
            auto completion = std::move(unwritten.front());
            unwritten.erase(unwritten.begin());
            completion(outcome);
        }
    }

    std::vector<nlohmann::json> sent;
    std::optional<std::uint16_t> cancelledWith;
    bool holdWrites = false;
    std::vector<SendCompletion> unwritten;
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
        opened.push_back({std::move(request), observer, connection});
        if (opensAtOnce)
            if (auto listener = observer.lock())
                listener->webSocketDidOpen();
        return connection;
    }
    void invalidateAndCancel() override { invalidated = true; }

    std::shared_ptr<WebSocketObserver> lastObserver() const
    {
        return opened.empty() ? nullptr : opened.back().observer.lock();
    }

    std::vector<Opened> opened;
    bool invalidated = false;
    // Each connection reports its open as it is made, as a reachable service would.
    bool opensAtOnce = false;
};

}  // namespace tessary::testing
