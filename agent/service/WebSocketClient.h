#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/service/EventChannel.h"
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
class WebSocketClient final : public EventChannel,
                              public WebSocketObserver,
                              public std::enable_shared_from_this<WebSocketClient> {
public:
    // `session` is the client's own; none means it can never open a connection.
    WebSocketClient(std::string wsURL, std::string deviceId, std::string token,
                    std::shared_ptr<WebSocketSession> session, std::shared_ptr<MainQueue> mainQueue,
                    std::shared_ptr<LogSink> logSink);

    // Main thread only, like connect, disconnect and the sends.
    void setDelegate(std::weak_ptr<WebSocketClientDelegate> delegate) { delegate_ = std::move(delegate); }
    void connect();
    // Stops for good: no reconnect afterwards, and a later connect opens nothing.
    void disconnect();

    void sendActivity(const std::vector<nlohmann::json>& events) override;
    void sendAccessRequest(const std::string& url, const std::optional<std::string>& title) override;
    void sendBlockedAppLaunch(const std::string& bundleId, const std::string& appName) override;

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
    void send(const nlohmann::json& message);
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

    const std::string wsURL_;
    const std::shared_ptr<MainQueue> mainQueue_;
    const Logger appLog_;
    const Logger apiLog_;
};

}  // namespace tessary
