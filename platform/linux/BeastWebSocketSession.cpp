#include "platform/linux/BeastWebSocketSession.h"

#include <pthread.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "platform/Url.h"
#include "platform/linux/TlsClientContext.h"
#include "platform/linux/TlsConnector.h"

namespace tessary {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Looking up, connecting, TLS and the upgrade together.
constexpr auto kOpenTimeout = std::chrono::seconds(60);
constexpr auto kCloseTimeout = std::chrono::seconds(2);
// Rules and grants are small; a larger message is hostile or broken and ends the connection
// before it can exhaust memory. Messages are read in pieces and counted here rather than by
// Beast's own limit, whose failure is reported as whatever its closing handshake then meets.
constexpr std::size_t kMaximumIncomingMessage = 4 * 1024 * 1024;
constexpr std::size_t kReadPiece = 64 * 1024;
// The kernel's own probe of a silent peer, for when even the ping cannot be written.
constexpr int kKeepAliveIdleSeconds = 30;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;

const char* const kCancelled = "cancelled";

std::string spoken(std::chrono::milliseconds duration)
{
    if (duration.count() % 1000 == 0)
        return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

// Best effort: a socket without keep-alive still has the ping.
void enableKeepAlive(tcp::socket& socket)
{
    const int descriptor = socket.native_handle();
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof kKeepAliveIdleSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof kKeepAliveIntervalSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

}  // namespace

// The io thread and what it serves. Shared with the thread itself, so the session may be
// destroyed anywhere, even on the io thread.
struct BeastWebSocketSession::Core {
    Core(const std::optional<std::filesystem::path>& extraCaFile, Timing chosenTiming, NameLookup chosenLookup)
        : tls(extraCaFile), timing(chosenTiming), lookup(std::move(chosenLookup))
    {
    }

    asio::io_context io{1};
    TlsClientContext tls;
    const Timing timing;
    const NameLookup lookup;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::mutex mutex;
    bool invalidated = false;
    std::vector<std::weak_ptr<Connection>> connections;
    std::thread thread;
};

class BeastWebSocketSession::Connection final : public WebSocketConnection,
                                                public std::enable_shared_from_this<Connection> {
public:
    Connection(std::shared_ptr<Core> core, std::optional<Url> url,
               std::vector<std::pair<std::string, std::string>> headers, std::weak_ptr<WebSocketObserver> observer)
        : core_(std::move(core)), validUrl_(url.has_value()), url_(url.value_or(Url{})), headers_(std::move(headers)),
          observer_(std::move(observer)), ws_(core_->io, core_->tls.context()),
          connector_(core_->lookup, core_->timing.connectPerAddress), openTimer_(core_->io), livenessTimer_(core_->io)
    {
    }

    void start()
    {
        asio::post(core_->io, [self = shared_from_this()] { self->begin(); });
    }

    void sendText(std::string text, SendCompletion completion) override
    {
        asio::post(core_->io, [self = shared_from_this(), text = std::move(text),
                               completion = std::move(completion)]() mutable {
            if (self->finished_ || self->stopReason_) {
                if (completion)
                    completion(self->finished_ ? Error{"Socket is not connected"} : *self->stopReason_);
                return;
            }
            self->outbox_.emplace_back(std::move(text), std::move(completion));
            self->flush();
        });
    }

    void cancel(std::uint16_t closeCode) override
    {
        asio::post(core_->io, [self = shared_from_this(), closeCode] { self->cancelNow(closeCode); });
    }

    // On the io thread: ends the connection at once, closing handshake or not; whatever is under
    // way completes with the reason.
    void abort(const Error& reason)
    {
        if (finished_)
            return;
        if (!stopReason_)
            stopReason_ = reason;
        if (stage_ == Stage::connecting)
            return connector_.cancel();
        closeSocket();
    }

private:
    enum class Stage { connecting, upgrading, open, closing };
    enum class Write { idle, message, ping };

    void begin()
    {
        if (finished_)
            return;
        if (const auto& problem = core_->tls.trustProblem())
            return fail(*problem);
        if (!validUrl_ || (url_.scheme != "wss"))
            return fail(Error{"unsupported URL"});
        openTimer_.expires_after(kOpenTimeout);
        openTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec && self->stage_ < Stage::open)
                self->abort(Error{"The request timed out."});
        });
        connector_.connect(ws_.next_layer(), weak_from_this(), url_.host, url_.effectivePort(),
                           [this](std::optional<Error> error) { onConnected(std::move(error)); });
    }

    void onConnected(std::optional<Error> error)
    {
        if (stopReason_)
            return fail(*stopReason_);
        if (error)
            return fail(*error);
        // From here the open timer alone bounds the upgrade.
        enableKeepAlive(beast::get_lowest_layer(ws_).socket());
        stage_ = Stage::upgrading;
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = websocket::stream_base::none();
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.read_message_max(0);
        // Pongs, pings and close frames are signs of life too; Beast answers pings itself.
        ws_.control_callback([this](websocket::frame_type, beast::string_view) { heard(); });
        ws_.set_option(websocket::stream_base::decorator([headers = headers_](websocket::request_type& request) {
            for (const auto& [name, value] : headers)
                request.set(name, value);
        }));
        ws_.async_handshake(upgradeReply_, url_.authority(), url_.path.empty() ? "/" : url_.path,
                            [self = shared_from_this()](beast::error_code handshakeError) {
                                self->onOpened(handshakeError);
                            });
    }

    void onOpened(beast::error_code ec)
    {
        std::optional<int> status;
        if (upgradeReply_.result_int() != 0)
            status = static_cast<int>(upgradeReply_.result_int());
        if (stopped(ec, status))
            return;
        openTimer_.cancel();
        stage_ = Stage::open;
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kCloseTimeout;  // bounds closing handshakes from here on
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        heard();
        notify([](WebSocketObserver& observer) { observer.webSocketDidOpen(); });
        watchLiveness(lastHeard_ + core_->timing.pingAfterIdle);
        readNext();
        flush();
    }

    // After each opening step: true, having reported, when cancelled, timed out or failed.
    bool stopped(beast::error_code ec, std::optional<int> upgradeStatus = std::nullopt)
    {
        if (stopReason_)
            fail(*stopReason_, upgradeStatus);
        else if (ec)
            fail(Error{ec.message()}, upgradeStatus);
        return stopReason_ || ec;
    }

    void heard()
    {
        lastHeard_ = SteadyClock::now();
        awaitingAnswer_ = false;
    }

    void watchLiveness(SteadyClock::time_point at)
    {
        livenessTimer_.expires_at(at);
        livenessTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->checkLiveness();
        });
    }

    // A quiet connection gets a ping; one that stays silent after it is lost, so the caller can
    // reconnect instead of waiting on a dead peer.
    void checkLiveness()
    {
        if (stage_ != Stage::open || finished_)
            return;
        const auto& timing = core_->timing;
        if (awaitingAnswer_)
            return abort(Error{"No answer to ping within " + spoken(timing.answerWithin)});
        const auto now = SteadyClock::now();
        if (now - lastHeard_ < timing.pingAfterIdle)
            return watchLiveness(lastHeard_ + timing.pingAfterIdle);
        awaitingAnswer_ = true;
        pingDue_ = true;
        flush();
        watchLiveness(now + timing.answerWithin);
    }

    void readNext()
    {
        ws_.async_read_some(buffer_, kReadPiece,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec)
    {
        if (ec) {
            if (stopReason_)
                return fail(*stopReason_);
            if (ec == websocket::error::closed)
                return finish([code = static_cast<int>(ws_.reason().code)](WebSocketObserver& observer) {
                    observer.webSocketDidClose(code);
                });
            return fail(Error{ec.message()});
        }
        heard();
        if (buffer_.size() > kMaximumIncomingMessage)
            return fail(Error{"The service sent a message larger than " +
                              std::to_string(kMaximumIncomingMessage / (1024 * 1024)) + " MiB."});
        if (!ws_.is_message_done())
            return readNext();
        if (ws_.got_text()) {
            std::string text = beast::buffers_to_string(buffer_.data());
            buffer_.consume(buffer_.size());
            notify([&text](WebSocketObserver& observer) { observer.webSocketDidReceiveText(std::move(text)); });
        } else {
            buffer_.consume(buffer_.size());
            notify([](WebSocketObserver& observer) { observer.webSocketDidReceiveData(); });
        }
        if (!finished_)
            readNext();
    }

    // One write at a time, Beast's rule: a due ping first, then queued messages in order.
    void flush()
    {
        if (stage_ != Stage::open || finished_ || write_ != Write::idle)
            return;
        if (pingDue_) {
            pingDue_ = false;
            write_ = Write::ping;
            ws_.async_ping({}, [self = shared_from_this()](beast::error_code) {
                self->write_ = Write::idle;
                self->flush();
            });
            return;
        }
        if (outbox_.empty())
            return;
        write_ = Write::message;
        ws_.text(true);
        ws_.async_write(asio::buffer(outbox_.front().first),
                        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWritten(ec); });
    }

    void onWritten(beast::error_code ec)
    {
        write_ = Write::idle;
        auto completion = std::move(outbox_.front().second);
        outbox_.pop_front();
        if (completion)
            completion(ec ? std::optional<Error>(Error{ec.message()}) : std::nullopt);
        flush();
    }

    void cancelNow(std::uint16_t closeCode)
    {
        if (finished_ || stopReason_)
            return;
        if (stage_ != Stage::open)
            return abort(Error{kCancelled});
        stopReason_ = Error{kCancelled};
        stage_ = Stage::closing;
        // The pending read ends once the close handshake is done (or times out).
        ws_.async_close(websocket::close_reason(closeCode),
                        [self = shared_from_this()](beast::error_code) { self->closeSocket(); });
    }

    void closeSocket()
    {
        // Also cancels the stream's own timers, so nothing keeps the io thread waiting.
        beast::get_lowest_layer(ws_).close();
    }

    void fail(const Error& error, std::optional<int> upgradeStatus = std::nullopt)
    {
        finish([&error, upgradeStatus](WebSocketObserver& observer) {
            observer.webSocketReceiveDidFail(error, upgradeStatus);
        });
    }

    template <typename Report>
    void finish(Report report)
    {
        if (finished_)
            return;
        notify(report);
        finished_ = true;
        // Sends still waiting fail; one being written completes through its own handler.
        const std::size_t keep = write_ == Write::message ? 1 : 0;
        while (outbox_.size() > keep) {
            auto completion = std::move(outbox_.back().second);
            outbox_.pop_back();
            if (completion)
                completion(Error{"Socket is not connected"});
        }
        openTimer_.cancel();
        livenessTimer_.cancel();
        closeSocket();
    }

    template <typename Report>
    void notify(Report report)
    {
        if (finished_)
            return;
        if (auto observer = observer_.lock())
            report(*observer);
    }

    std::shared_ptr<Core> core_;
    bool validUrl_;
    Url url_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::weak_ptr<WebSocketObserver> observer_;
    websocket::stream<TlsConnector::Stream> ws_;
    TlsConnector connector_;
    asio::steady_timer openTimer_;
    asio::steady_timer livenessTimer_;
    websocket::response_type upgradeReply_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<std::string, SendCompletion>> outbox_;
    Stage stage_ = Stage::connecting;
    Write write_ = Write::idle;
    bool pingDue_ = false;
    bool awaitingAnswer_ = false;
    SteadyClock::time_point lastHeard_;
    // Set by a cancel or a time limit: what every step still under way then reports.
    std::optional<Error> stopReason_;
    bool finished_ = false;
};

Expected<std::vector<std::string>> BeastWebSocketSession::systemNameLookup(const std::string& host)
{
    return TlsConnector::systemNameLookup(host);
}

BeastWebSocketSession::BeastWebSocketSession(std::optional<std::filesystem::path> extraCaFile)
    : BeastWebSocketSession(std::move(extraCaFile), Timing{}, systemNameLookup)
{
}

BeastWebSocketSession::BeastWebSocketSession(std::optional<std::filesystem::path> extraCaFile, Timing timing,
                                             NameLookup lookup)
    : core_(std::make_shared<Core>(extraCaFile, timing, std::move(lookup)))
{
    core_->work.emplace(core_->io.get_executor());
    core_->thread = std::thread([core = core_] {
        ::pthread_setname_np(::pthread_self(), "websocket");
        core->io.run();
    });
}

BeastWebSocketSession::~BeastWebSocketSession()
{
    // Every connection is aborted, not closed politely, and lookups are never joined, so the io
    // thread has only completions left to run: the join waits for no network.
    invalidateAndCancel();
    if (core_->thread.get_id() == std::this_thread::get_id())
        core_->thread.detach();
    else if (core_->thread.joinable())
        core_->thread.join();
}

std::shared_ptr<WebSocketConnection> BeastWebSocketSession::open(WebSocketRequest request,
                                                                 std::weak_ptr<WebSocketObserver> observer)
{
    const auto url = Url::parse(request.url);
    const std::lock_guard lock(core_->mutex);
    if (core_->invalidated)
        return nullptr;
    auto connection = std::make_shared<Connection>(core_, url, std::move(request.headers), std::move(observer));
    std::erase_if(core_->connections, [](const auto& weak) { return weak.expired(); });
    core_->connections.push_back(connection);
    connection->start();
    return connection;
}

void BeastWebSocketSession::invalidateAndCancel()
{
    std::vector<std::weak_ptr<Connection>> connections;
    {
        const std::lock_guard lock(core_->mutex);
        if (core_->invalidated)
            return;
        core_->invalidated = true;
        connections.swap(core_->connections);
    }
    asio::post(core_->io, [core = core_, connections = std::move(connections)] {
        for (const auto& weak : connections)
            if (auto connection = weak.lock())
                connection->abort(Error{kCancelled});
        core->work.reset();
    });
}

}  // namespace tessary
