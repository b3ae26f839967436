#include "platform/linux/BeastWebSocketSession.h"

#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "platform/Url.h"

namespace tessary {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kOpenTimeout = std::chrono::seconds(60);
constexpr auto kCloseTimeout = std::chrono::seconds(2);

const char* const kCancelled = "cancelled";

}  // namespace

// The io thread and what it serves. Shared with the thread itself, so the session may be
// destroyed anywhere, even on the io thread.
struct BeastWebSocketSession::Core {
    asio::io_context io{1};
    ssl::context tls{ssl::context::tls_client};
    std::optional<std::string> trustProblem;
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
        : core_(std::move(core)), validUrl_(url.has_value()), url_(url.value_or(Url{})), headers_(std::move(headers)), observer_(std::move(observer)),
          resolver_(core_->io), ws_(core_->io, core_->tls)
    {
    }

    void start()
    {
        asio::post(core_->io, [self = shared_from_this()] { self->resolve(); });
    }

    void sendText(std::string text, SendCompletion completion) override
    {
        asio::post(core_->io, [self = shared_from_this(), text = std::move(text),
                               completion = std::move(completion)]() mutable {
            if (self->finished_ || self->cancelled_) {
                if (completion)
                    completion(Error{self->finished_ ? "Socket is not connected" : kCancelled});
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

    // On the io thread: ends the connection without a closing handshake, unless one is under way.
    void abort()
    {
        if (finished_ || stage_ == Stage::closing)
            return;
        cancelled_ = true;
        resolver_.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    enum class Stage { resolving, connecting, opening, open, closing };

    void resolve()
    {
        if (cancelled_)
            return fail(Error{kCancelled});
        if (core_->trustProblem)
            return fail(Error{*core_->trustProblem});
        if (!validUrl_ || (url_.scheme != "wss"))
            return fail(Error{"unsupported URL"});
        resolver_.async_resolve(url_.host, std::to_string(url_.effectivePort()),
                                [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type results) {
                                    self->onResolved(ec, std::move(results));
                                });
    }

    void onResolved(beast::error_code ec, tcp::resolver::results_type results)
    {
        if (ec || cancelled_)
            return fail(Error{cancelled_ ? kCancelled : ec.message()});
        stage_ = Stage::connecting;
        beast::get_lowest_layer(ws_).expires_after(kOpenTimeout);
        beast::get_lowest_layer(ws_).async_connect(
            results, [self = shared_from_this()](beast::error_code connectError, const tcp::endpoint&) {
                self->onConnected(connectError);
            });
    }

    void onConnected(beast::error_code ec)
    {
        if (ec || cancelled_)
            return fail(Error{cancelled_ ? kCancelled : ec.message()});
        auto& tlsStream = ws_.next_layer();
        beast::error_code addressError;
        asio::ip::make_address(url_.host, addressError);
        // SNI carries names only, never an address literal.
        if (addressError && SSL_ctrl(tlsStream.native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                     const_cast<char*>(url_.host.c_str())) != 1)
            return fail(Error{"The server name could not be set for TLS."});
        tlsStream.set_verify_mode(ssl::verify_peer);
        tlsStream.set_verify_callback(ssl::host_name_verification(url_.host));
        tlsStream.async_handshake(ssl::stream_base::client,
                                  [self = shared_from_this()](beast::error_code handshakeError) {
                                      self->onTlsReady(handshakeError);
                                  });
    }

    void onTlsReady(beast::error_code ec)
    {
        if (ec || cancelled_)
            return fail(Error{cancelled_ ? kCancelled : ec.message()});
        stage_ = Stage::opening;
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kOpenTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
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
        if (ec || cancelled_) {
            std::optional<int> status;
            if (upgradeReply_.result_int() != 0)
                status = static_cast<int>(upgradeReply_.result_int());
            return fail(Error{cancelled_ ? kCancelled : ec.message()}, status);
        }
        stage_ = Stage::open;
        notify([](WebSocketObserver& observer) { observer.webSocketDidOpen(); });
        readNext();
        flush();
    }

    void readNext()
    {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec)
    {
        if (ec) {
            if (cancelled_)
                return fail(Error{kCancelled});
            if (ec == websocket::error::closed)
                return finish([code = static_cast<int>(ws_.reason().code)](WebSocketObserver& observer) {
                    observer.webSocketDidClose(code);
                });
            return fail(Error{ec.message()});
        }
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

    void flush()
    {
        if (stage_ != Stage::open || finished_ || writing_ || outbox_.empty())
            return;
        writing_ = true;
        ws_.text(true);
        ws_.async_write(asio::buffer(outbox_.front().first),
                        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWritten(ec); });
    }

    void onWritten(beast::error_code ec)
    {
        writing_ = false;
        auto completion = std::move(outbox_.front().second);
        outbox_.pop_front();
        if (completion)
            completion(ec ? std::optional<Error>(Error{ec.message()}) : std::nullopt);
        if (finished_) {
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().close(ignored);
            return;
        }
        flush();
    }

    void cancelNow(std::uint16_t closeCode)
    {
        if (finished_ || cancelled_)
            return;
        cancelled_ = true;
        if (stage_ != Stage::open)
            return abort();
        stage_ = Stage::closing;
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kCloseTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        // The pending read ends once the close handshake is done (or times out).
        ws_.async_close(websocket::close_reason(closeCode), [self = shared_from_this()](beast::error_code) {
            beast::error_code ignored;
            beast::get_lowest_layer(self->ws_).socket().close(ignored);
        });
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
        const std::size_t keep = writing_ ? 1 : 0;
        while (outbox_.size() > keep) {
            auto completion = std::move(outbox_.back().second);
            outbox_.pop_back();
            if (completion)
                completion(Error{"Socket is not connected"});
        }
        beast::error_code ignored;
        resolver_.cancel();
        if (!writing_)
            beast::get_lowest_layer(ws_).socket().close(ignored);
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
    tcp::resolver resolver_;
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
    websocket::response_type upgradeReply_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<std::string, SendCompletion>> outbox_;
    Stage stage_ = Stage::resolving;
    bool writing_ = false;
    bool cancelled_ = false;
    bool finished_ = false;
};

BeastWebSocketSession::BeastWebSocketSession(std::optional<std::filesystem::path> extraCaFile)
    : core_(std::make_shared<Core>())
{
    SSL_CTX_set_min_proto_version(core_->tls.native_handle(), TLS1_2_VERSION);
    core_->tls.set_verify_mode(ssl::verify_peer);
    beast::error_code ec;
    core_->tls.set_default_verify_paths(ec);
    if (ec)
        core_->trustProblem = "The system's trusted certificates could not be loaded: " + ec.message();
    if (extraCaFile) {
        core_->tls.load_verify_file(extraCaFile->string(), ec);
        if (ec)
            core_->trustProblem = "The certificate file " + extraCaFile->string() + " could not be loaded: " +
                                  ec.message();
    }
    core_->work.emplace(core_->io.get_executor());
    core_->thread = std::thread([core = core_] { core->io.run(); });
}

BeastWebSocketSession::~BeastWebSocketSession()
{
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
                connection->abort();
        core->work.reset();
    });
}

}  // namespace tessary
