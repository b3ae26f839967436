#include "server/service/HttpsServer.h"

#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "server/service/StallableStream.h"

namespace tessary::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

namespace {

// Every request is read whole before it is answered: enough for any form or rules list (10,000
// sites a list), and packages only where the admin interface publishes them.
constexpr std::uint64_t kBodyLimit = 1024 * 1024;
constexpr std::uint64_t kPackageLimit = 64ull * 1024 * 1024;

// Something the server can drop at once when it stops.
class Droppable {
public:
    virtual ~Droppable() = default;
    virtual void drop() = 0;
};

}  // namespace

class ChannelSession;

struct HttpsServer::Core final : DeviceSockets {
    asio::io_context io{1};
    ssl::context tls{ssl::context::tls_server};
    std::shared_ptr<FamilyService> service;
    std::uint64_t bodyLimit = kBodyLimit;
    std::optional<tcp::acceptor> acceptor;
    // Waits a little after a failed accept: out of descriptors, retrying at once would spin.
    std::optional<asio::steady_timer> acceptPause;
    std::thread thread;

    std::mutex mutex;  // guards the two registries; never held while calling the service
    std::vector<std::weak_ptr<Droppable>> sessions;
    std::multimap<std::string, std::weak_ptr<ChannelSession>> channels;

    void track(const std::shared_ptr<Droppable>& session)
    {
        const std::lock_guard lock(mutex);
        std::erase_if(sessions, [](const auto& weak) { return weak.expired(); });
        sessions.push_back(session);
    }

    std::vector<std::shared_ptr<ChannelSession>> channelsOf(const std::string& deviceId);
    std::size_t push(const std::string& deviceId, const std::string& text) override;
    std::size_t close(const std::string& deviceId, std::uint16_t code) override;
    std::size_t stall(const std::string& deviceId, bool stalled) override;
    std::size_t open(const std::string& deviceId) override { return channelsOf(deviceId).size(); }
    void accept();
};

class ChannelSession final : public Droppable, public std::enable_shared_from_this<ChannelSession> {
public:
    ChannelSession(HttpsServer::Core* core, TlsStream stream, std::string deviceId)
        : core_(core), ws_(std::move(stream)), deviceId_(std::move(deviceId))
    {
    }

    void start(http::request<http::string_body> upgrade)
    {
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::ping)
                core_->service->recordPing(deviceId_);
        });
        ws_.async_accept(upgrade, [self = shared_from_this()](beast::error_code ec) {
            if (ec)
                return;
            self->open_ = true;
            self->readNext();
            self->flush();
        });
    }

    const std::string& deviceId() const { return deviceId_; }

    void push(std::string text)
    {
        asio::post(ws_.get_executor(), [self = shared_from_this(), text = std::move(text)]() mutable {
            self->outbox_.push_back(std::move(text));
            self->flush();
        });
    }

    void close(std::uint16_t code)
    {
        asio::post(ws_.get_executor(), [self = shared_from_this(), code] {
            // A stalled channel cannot take part in a closing handshake; it is dropped instead.
            if (self->ws_.next_layer().stalled())
                return self->drop();
            self->closeCode_ = code;
            self->flush();
        });
    }

    void stall(bool stalled)
    {
        asio::post(ws_.get_executor(), [self = shared_from_this(), stalled] {
            if (stalled)
                return self->ws_.next_layer().stall();
            self->ws_.next_layer().resume();
            self->flush();
        });
    }

    // Held operations are let go after the socket is closed, so they fail and release the session.
    void drop() override
    {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        ws_.next_layer().resume();
    }

private:
    void readNext()
    {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec)
                return;
            if (self->ws_.got_text())
                self->core_->service->recordFrame(self->deviceId_, beast::buffers_to_string(self->buffer_.data()));
            self->buffer_.consume(self->buffer_.size());
            self->readNext();
        });
    }

    // Writes queued frames in order, then a requested close after them.
    void flush()
    {
        if (!open_ || writing_)
            return;
        if (!outbox_.empty()) {
            writing_ = true;
            ws_.text(true);
            ws_.async_write(asio::buffer(outbox_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
                self->writing_ = false;
                self->outbox_.pop_front();
                if (!ec)
                    self->flush();
            });
            return;
        }
        if (closeCode_) {
            writing_ = true;
            ws_.async_close(websocket::close_reason(*closeCode_), [self = shared_from_this()](beast::error_code) {});
            closeCode_.reset();
        }
    }

    HttpsServer::Core* core_;
    websocket::stream<StallableStream<TlsStream>> ws_;
    std::string deviceId_;
    beast::flat_buffer buffer_;
    std::deque<std::string> outbox_;
    std::optional<std::uint16_t> closeCode_;
    bool open_ = false;
    bool writing_ = false;
};

namespace {

class HttpSession final : public Droppable, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(HttpsServer::Core* core, tcp::socket socket)
        : core_(core), stream_(std::move(socket), core_->tls)
    {
    }

    void start()
    {
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(30));
        stream_.async_handshake(ssl::stream_base::server, [self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->readNext();
        });
    }

    void drop() override
    {
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }

private:
    void readNext()
    {
        parser_.emplace();
        parser_->body_limit(core_->bodyLimit);
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(60));
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec)
                self->onRequest();
        });
    }

    static HttpQuery queryOf(const http::request<http::string_body>& request)
    {
        HttpQuery query{std::string(request.method_string()), std::string(request.target()), {}, request.body()};
        for (const auto& field : request)
            query.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        return query;
    }

    void onRequest()
    {
        auto request = parser_->release();
        try {
            serve(request);
        } catch (const std::exception&) {
            // The last line of defence: bad input is answered 400 by the service, but nothing a
            // client sends may take the server down.
            reply(request, HttpAnswer{500, "application/json", R"({"success":false,"error":"internal error"})"}, false);
        }
    }

    void serve(http::request<http::string_body>& request)
    {
        const auto query = queryOf(request);
        if (websocket::is_upgrade(request) && query.target.substr(0, query.target.find('?')) == "/ws/device") {
            auto admission = core_->service->admitChannel(query);
            if (!admission.deviceId)
                return reply(request, admission.refusal, false);
            beast::get_lowest_layer(stream_).expires_never();
            auto channel = std::make_shared<ChannelSession>(core_, std::move(stream_), *admission.deviceId);
            core_->track(channel);
            {
                const std::lock_guard lock(core_->mutex);
                core_->channels.emplace(*admission.deviceId, channel);
            }
            channel->start(std::move(request));
            return;
        }
        reply(request, core_->service->handle(query), request.keep_alive());
    }

    void reply(const http::request<http::string_body>& request, const HttpAnswer& answer, bool keepAlive)
    {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), request.version());
        response->set(http::field::server, "tessary-server");
        if (!answer.location.empty())
            response->set(http::field::location, answer.location);
        for (const auto& [name, value] : answer.headers)
            response->insert(name, value);
        if (answer.status != 204) {
            response->set(http::field::content_type, answer.contentType);
            response->body() = answer.body;
        }
        response->keep_alive(keepAlive);
        response->prepare_payload();
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response, keepAlive](beast::error_code ec, std::size_t) {
                              if (ec)
                                  return;
                              if (keepAlive)
                                  return self->readNext();
                              self->stream_.async_shutdown([self](beast::error_code) { self->drop(); });
                          });
    }

    HttpsServer::Core* core_;
    TlsStream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

std::vector<std::shared_ptr<ChannelSession>> HttpsServer::Core::channelsOf(const std::string& deviceId)
{
    const std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<ChannelSession>> open;
    for (auto [it, end] = channels.equal_range(deviceId); it != end;) {
        if (auto channel = it->second.lock()) {
            open.push_back(std::move(channel));
            ++it;
        } else {
            it = channels.erase(it);
        }
    }
    return open;
}

std::size_t HttpsServer::Core::push(const std::string& deviceId, const std::string& text)
{
    const auto open = channelsOf(deviceId);
    for (const auto& channel : open)
        channel->push(text);
    return open.size();
}

std::size_t HttpsServer::Core::close(const std::string& deviceId, std::uint16_t code)
{
    const auto open = channelsOf(deviceId);
    for (const auto& channel : open)
        channel->close(code);
    return open.size();
}

std::size_t HttpsServer::Core::stall(const std::string& deviceId, bool stalled)
{
    const auto open = channelsOf(deviceId);
    for (const auto& channel : open)
        channel->stall(stalled);
    return open.size();
}

void HttpsServer::Core::accept()
{
    acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open())
            return;
        if (!ec) {
            auto session = std::make_shared<HttpSession>(this, std::move(socket));
            track(session);
            session->start();
            accept();
            return;
        }
        // Out of descriptors or memory: the connection waits in the backlog until some are freed.
        acceptPause.emplace(io, std::chrono::milliseconds(100));
        acceptPause->async_wait([this](beast::error_code waited) {
            if (!waited && acceptor->is_open())
                accept();
        });
    });
}

HttpsServer::HttpsServer(std::shared_ptr<FamilyService> service, ServerCertificates certificates)
    : service_(std::move(service)), certificates_(std::move(certificates))
{
}

HttpsServer::~HttpsServer()
{
    stop();
}

Expected<std::uint16_t> HttpsServer::start(std::uint16_t port, const std::string& address)
{
    stop();
    auto core = std::make_shared<Core>();
    core->service = service_;
    core->bodyLimit = service_->servesAdminInterface() ? kPackageLimit : kBodyLimit;
    try {
        SSL_CTX_set_min_proto_version(core->tls.native_handle(), TLS1_2_VERSION);
        core->tls.use_certificate_chain(asio::buffer(certificates_.serverCertificatePem));
        core->tls.use_private_key(asio::buffer(certificates_.serverKeyPem), ssl::context::pem);
        core->acceptor.emplace(core->io);
        const tcp::endpoint endpoint(asio::ip::make_address(address), port);
        core->acceptor->open(endpoint.protocol());
        core->acceptor->set_option(asio::socket_base::reuse_address(true));
        core->acceptor->bind(endpoint);
        core->acceptor->listen();
    } catch (const std::exception& e) {
        return Error{std::string("Cannot listen on " + address + ":" + std::to_string(port) + ": ") + e.what()};
    }
    port_ = core->acceptor->local_endpoint().port();
    service_->setBaseURL(baseURL());
    service_->attach(core.get());
    core->accept();
    core->thread = std::thread([raw = core.get()] { raw->io.run(); });
    core_ = std::move(core);
    return port_;
}

void HttpsServer::stop()
{
    if (!core_)
        return;
    service_->attach(nullptr);
    asio::post(core_->io, [core = core_.get()] {
        beast::error_code ignored;
        core->acceptor->close(ignored);
        std::vector<std::weak_ptr<Droppable>> sessions;
        {
            const std::lock_guard lock(core->mutex);
            sessions.swap(core->sessions);
            core->channels.clear();
        }
        for (const auto& weak : sessions)
            if (auto session = weak.lock())
                session->drop();
    });
    core_->thread.join();
    core_.reset();
}

}  // namespace tessary::server
