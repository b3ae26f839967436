#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/service/EventChannel.h"
#include "agent/service/Outbox.h"
#include "agent/service/WebSocketClientDelegate.h"
#include "platform/Logger.h"
#include "platform/MainQueue.h"
#include "platform/WebSocketTransport.h"

namespace tessary {

// The live channel to the service: reports what arrives to its delegate on the main queue,
// sends status, activity, access requests and blocked launches, and reconnects with back-off
// until disconnected. Frames are read and decoded on the session's thread; every piece of
// connection state (the current connection, the reconnect work and counter, the stop flag)
// lives on the main thread only, so the two never race.
//
// With an outbox, every message but the status goes into it first and leaves it only once its
// frame has been written: what is sent while the channel is down waits there and follows the
// status of the next connection, oldest first, with a bounded number of frames in flight.
class WebSocketClient final : public EventChannel,
                              public WebSocketObserver,
                              public std::enable_shared_from_this<WebSocketClient> {
public:
    // Frames of the outbox handed to the connection and not yet written.
    static constexpr std::size_t kFramesInFlight = 256;

    // `session` is the client's own; none means it can never open a connection. Without an
    // outbox, a message sent while the channel is down is dropped.
    WebSocketClient(std::string wsURL, std::string deviceId, std::string token,
                    std::shared_ptr<WebSocketSession> session, std::shared_ptr<MainQueue> mainQueue,
                    std::shared_ptr<LogSink> logSink, std::shared_ptr<Outbox> outbox = nullptr);

    // Main thread only, like connect, disconnect and the sends.
    void setDelegate(std::weak_ptr<WebSocketClientDelegate> delegate) { delegate_ = std::move(delegate); }
    void connect();
    // Stops for good: no reconnect afterwards, and a later connect opens nothing.
    void disconnect();

    void sendActivity(const std::vector<nlohmann::json>& events) override;
    void sendAccessRequest(const std::string& url, const std::optional<std::string>& title) override;
    void sendBlockedAppLaunch(const std::string& bundleId, const std::string& appName) override;
    // For what is drained from another queue: the outbox keeps `receipt` in the same write as the
    // message (see Outbox::add).
    void sendActivity(const std::vector<nlohmann::json>& events, const std::string& receipt);
    void sendAccessRequest(const std::string& url, const std::optional<std::string>& title,
                           const std::string& receipt);

    // One incoming text frame; runs on the session's thread. Delegate calls go to the main queue.
    void handleMessage(const std::string& text);

    std::int64_t reconnectAttempt() const { return reconnectAttempt_; }
    bool isDisconnected() const { return isDisconnected_; }

private:
    void webSocketDidOpen() override;
    void webSocketDidReceiveText(std::string text) override;
    void webSocketDidReceiveData() override;
    void webSocketReceiveDidFail(const Error& error, std::optional<int> upgradeStatus) override;
    void webSocketDidClose(int code) override;

    void scheduleReconnect();
    void connectionEnded();
    // The status goes straight to the connection; everything else through the outbox.
    void sendNow(const nlohmann::json& message);
    void send(const nlohmann::json& message, const std::string& receipt = {});
    // Hands queued messages to the open connection, up to kFramesInFlight at a time.
    void sendQueued();
    void queuedFrameWritten(std::uint64_t connection);
    void handleRules(const nlohmann::json& message);
    // Posts a delegate call that looks the delegate up when it runs.
    template <typename Call>
    void callDelegate(Call call);

    std::shared_ptr<WebSocketConnection> webSocket_;
    std::shared_ptr<WebSocketSession> session_;
    const std::string deviceId_;
    const std::string token_;
    std::shared_ptr<ScheduledWork> reconnectWork_;
    bool isDisconnected_ = false;
    std::int64_t reconnectAttempt_ = 0;
    std::weak_ptr<WebSocketClientDelegate> delegate_;
    std::shared_ptr<Outbox> outbox_;
    // Counts connections, so a late completion from an earlier one changes nothing in flight.
    std::uint64_t connection_ = 0;
    bool isOpen_ = false;
    // The newest outbox message handed to the open connection, and how many of those are unwritten.
    std::int64_t handedThrough_ = 0;
    std::size_t inFlight_ = 0;

    const std::string wsURL_;
    const std::shared_ptr<MainQueue> mainQueue_;
    const Logger appLog_;
    const Logger apiLog_;
};

}  // namespace tessary
