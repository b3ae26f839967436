#include "agent/service/WebSocketClient.h"

#include <algorithm>
#include <cmath>

#include "agent/service/HeaderText.h"
#include "agent/service/JsonFields.h"
#include "agent/service/RecordCodec.h"
#include "agent/service/RulesPayload.h"
#include "platform/JsonText.h"

namespace tessary {

namespace {

constexpr const char* kSubsystem = "app.brenmoor.tessary";
constexpr std::uint16_t kGoingAway = 1001;

// The payload object of a message, when it has one.
const nlohmann::json* objectPayload(const nlohmann::json& message)
{
    const auto payload = message.find("payload");
    if (payload == message.end() || !payload->is_object())
        return nullptr;
    return &*payload;
}

std::optional<std::string> payloadURL(const nlohmann::json& message)
{
    const auto* payload = objectPayload(message);
    if (!payload)
        return std::nullopt;
    const auto url = payload->find("url");
    if (url == payload->end() || !url->is_string())
        return std::nullopt;
    return url->get<std::string>();
}

}  // namespace

WebSocketClient::WebSocketClient(std::string wsURL, std::string deviceId, std::string token,
                                 std::shared_ptr<WebSocketSession> session, std::shared_ptr<MainQueue> mainQueue,
                                 std::shared_ptr<LogSink> logSink, std::shared_ptr<Outbox> outbox)
    : session_(std::move(session)), deviceId_(std::move(deviceId)), token_(std::move(token)),
      outbox_(std::move(outbox)), wsURL_(std::move(wsURL)), mainQueue_(std::move(mainQueue)), appLog_(logSink, kSubsystem, "app"),
      apiLog_(std::move(logSink), kSubsystem, "api")
{
}

void WebSocketClient::connect()
{
    isDisconnected_ = false;
    WebSocketRequest request{wsURL_,
                             {{"X-Device-Id", HeaderText::withoutControlCharacters(deviceId_)},
                              {"Authorization", "Bearer " + HeaderText::withoutControlCharacters(token_)}}};
    connectionEnded();
    // The previous connection, if any, is replaced, not cancelled.
    webSocket_ = session_ ? session_->open(std::move(request), weak_from_this()) : nullptr;
    appLog_.info("WebSocket connecting to %s", {wsURL_});
}

void WebSocketClient::disconnect()
{
    isDisconnected_ = true;
    connectionEnded();
    if (reconnectWork_) {
        reconnectWork_->cancel();
        reconnectWork_.reset();
    }
    if (webSocket_) {
        webSocket_->cancel(kGoingAway);
        webSocket_.reset();
    }
    if (session_) {
        session_->invalidateAndCancel();
        session_.reset();
    }
    appLog_.info("WebSocket disconnected");
}

void WebSocketClient::scheduleReconnect()
{
    if (isDisconnected_)
        return;
    const double delay = std::min(60.0, 5.0 * std::exp2(static_cast<double>(reconnectAttempt_)));
    ++reconnectAttempt_;
    appLog_.info("WebSocket reconnecting in %fs (attempt %ld)...", {delay, reconnectAttempt_});
    if (reconnectWork_)
        reconnectWork_->cancel();
    reconnectWork_ = mainQueue_->postAfter(std::chrono::milliseconds(static_cast<std::int64_t>(delay * 1000.0)),
                                           [weak = weak_from_this()] {
                                               if (auto self = weak.lock())
                                                   self->connect();
                                           });
}

void WebSocketClient::webSocketDidOpen()
{
    appLog_.info("WebSocket connected");
    mainQueue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->reconnectAttempt_ = 0;
        self->sendNow({{"type", "status"}, {"payload", {{"online", true}}}});
        self->isOpen_ = true;
        if (self->outbox_)
            self->outbox_->dropExpired();
        self->sendQueued();
        self->callDelegate([](WebSocketClientDelegate& delegate) { delegate.webSocketDidConnect(); });
    });
}

void WebSocketClient::webSocketDidReceiveText(std::string text)
{
    handleMessage(text);
}

void WebSocketClient::webSocketDidReceiveData()
{
    // Binary frames carry nothing for the agent; the receive loop simply continues.
}

void WebSocketClient::webSocketReceiveDidFail(const Error& error, std::optional<int> upgradeStatus)
{
    apiLog_.error("WebSocket receive error: %@", {error});
    mainQueue_->post([weak = weak_from_this(), upgradeStatus] {
        auto self = weak.lock();
        if (!self)
            return;
        self->connectionEnded();
        if (self->webSocket_ && upgradeStatus == 401) {
            self->appLog_.info("WebSocket rejected with 401 — device deauthorized");
            self->mainQueue_->post([weak] {
                auto client = weak.lock();
                if (!client || client->isDisconnected_)
                    return;
                if (auto delegate = client->delegate_.lock())
                    delegate->webSocketDeviceDeauthorized();
            });
            return;
        }
        self->scheduleReconnect();
    });
}

void WebSocketClient::webSocketDidClose(int code)
{
    appLog_.info("WebSocket closed: %ld", {code});
    mainQueue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->connectionEnded();
        self->scheduleReconnect();
    });
}

void WebSocketClient::connectionEnded()
{
    // Whatever was handed to the old connection and not written stays in the outbox for the next.
    ++connection_;
    isOpen_ = false;
    handedThrough_ = 0;
    inFlight_ = 0;
}

template <typename Call>
void WebSocketClient::callDelegate(Call call)
{
    // A client its owner has disconnected reports nothing more, even what arrived before.
    mainQueue_->post([self = shared_from_this(), call = std::move(call)]() mutable {
        if (self->isDisconnected_)
            return;
        if (auto delegate = self->delegate_.lock())
            call(*delegate);
    });
}

void WebSocketClient::handleMessage(const std::string& text)
{
    auto parsed = JsonText::parse(text);
    if (!parsed || !parsed.value().is_object())
        return;
    const auto& message = parsed.value();
    const auto typeField = message.find("type");
    if (typeField == message.end() || !typeField->is_string())
        return;
    const auto& type = typeField->get_ref<const std::string&>();
    appLog_.info("WebSocket received: %s", {type});

    if (type == "rules_updated") {
        handleRules(message);
    } else if (type == "access_granted") {
        auto url = payloadURL(message);
        if (!url)
            return;
        const auto expiryField = objectPayload(message)->find("expiry");
        const auto expiry = expiryField == objectPayload(message)->end() ? std::nullopt
                                                                         : JsonFields::exactInt64(*expiryField);
        callDelegate([url = std::move(*url), expiry](WebSocketClientDelegate& delegate) {
            delegate.webSocketDidGrantAccess(url, expiry);
        });
    } else if (type == "access_denied") {
        auto url = payloadURL(message);
        if (!url)
            return;
        callDelegate([url = std::move(*url)](WebSocketClientDelegate& delegate) {
            delegate.webSocketDidDenyAccess(url);
        });
    } else if (type == "device_deleted") {
        appLog_.info("Device deleted by parent — de-registering");
        callDelegate([](WebSocketClientDelegate& delegate) { delegate.webSocketDeviceDeauthorized(); });
    } else {
        appLog_.info("WebSocket unknown message type: %s", {type});
    }
}

void WebSocketClient::handleRules(const nlohmann::json& message)
{
    const auto* payload = objectPayload(message);
    if (!payload) {
        apiLog_.error("WebSocket rules_updated: missing payload");
        return;
    }
    // The record's own decoder, as for a rules reply over HTTP, from the value already parsed.
    auto rules = RecordCodec<RulesPayload>::fromJson(*payload);
    if (!rules) {
        apiLog_.error("WebSocket rules_updated decode error: %@", {rules.error()});
        return;
    }
    callDelegate([rules = std::move(rules).value()](WebSocketClientDelegate& delegate) {
        delegate.webSocketDidReceiveRules(rules);
    });
}

void WebSocketClient::sendNow(const nlohmann::json& message)
{
    auto text = JsonText::dump(message);
    if (!text || !webSocket_)
        return;
    webSocket_->sendText(std::move(text).value(), [apiLog = apiLog_](std::optional<Error> error) {
        if (error)
            apiLog.error("WebSocket send error: %@", {*error});
    });
}

void WebSocketClient::send(const nlohmann::json& message, const std::string& receipt)
{
    if (!outbox_) {
        sendNow(message);
        return;
    }
    auto text = JsonText::dump(message);
    if (!text)
        return;
    // An outbox that cannot keep it leaves the message to the connection, as without an outbox.
    if (!outbox_->add(text.value(), receipt)) {
        sendNow(message);
        return;
    }
    sendQueued();
}

void WebSocketClient::sendQueued()
{
    if (!outbox_ || !isOpen_ || !webSocket_)
        return;
    while (inFlight_ < kFramesInFlight) {
        const auto messages = outbox_->after(handedThrough_, kFramesInFlight - inFlight_);
        if (messages.empty())
            return;
        for (const auto& message : messages) {
            handedThrough_ = message.id;
            ++inFlight_;
            // The outbox is held, not the client: a frame written after the client is gone (its
            // monitoring run stopped) must still leave the box, or the next run would send it again.
            webSocket_->sendText(message.text, [weak = weak_from_this(), mainQueue = mainQueue_, outbox = outbox_,
                                                apiLog = apiLog_, connection = connection_,
                                                id = message.id](std::optional<Error> error) {
                mainQueue->post([weak, outbox, apiLog, connection, id, error] {
                    if (error)
                        apiLog.error("WebSocket send error: %@", {*error});
                    else
                        outbox->remove(id);
                    if (auto self = weak.lock())
                        self->queuedFrameWritten(connection);
                });
            });
        }
    }
}

void WebSocketClient::queuedFrameWritten(std::uint64_t connection)
{
    if (connection != connection_)
        return;
    --inFlight_;
    sendQueued();
}

void WebSocketClient::sendActivity(const std::vector<nlohmann::json>& events)
{
    sendActivity(events, {});
}

void WebSocketClient::sendActivity(const std::vector<nlohmann::json>& events, const std::string& receipt)
{
    send({{"type", "activity"}, {"payload", {{"events", events}}}}, receipt);
}

void WebSocketClient::sendAccessRequest(const std::string& url, const std::optional<std::string>& title)
{
    sendAccessRequest(url, title, {});
}

void WebSocketClient::sendAccessRequest(const std::string& url, const std::optional<std::string>& title,
                                        const std::string& receipt)
{
    nlohmann::json payload = {{"url", url}};
    if (title)
        payload["title"] = *title;
    send({{"type", "access_request"}, {"payload", std::move(payload)}}, receipt);
}

void WebSocketClient::sendBlockedAppLaunch(const std::string& bundleId, const std::string& appName)
{
    send({{"type", "blocked_app_launch"}, {"payload", {{"bundleId", bundleId}, {"appName", appName}}}});
}

}  // namespace tessary
