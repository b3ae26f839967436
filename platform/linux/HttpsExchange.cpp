#include "platform/linux/HttpsExchange.h"

#include <limits>

#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/stream_traits.hpp>

namespace tessary {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr int kMostRedirects = 10;
constexpr auto kConnectPerAddress = std::chrono::seconds(10);
// Reply headers beyond this are hostile or broken.
constexpr std::uint32_t kLargestHeader = 64 * 1024;

bool isRedirect(unsigned status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The query is kept apart because Url takes none; a fragment never goes to the server.
struct Address {
    Url url;
    std::string query;
};

std::optional<Address> parseAddress(std::string_view text)
{
    text = text.substr(0, text.find('#'));
    const auto queryStart = text.find('?');
    auto url = Url::parse(text.substr(0, queryStart));
    if (!url)
        return std::nullopt;
    return Address{*url, queryStart == std::string_view::npos ? std::string() : std::string(text.substr(queryStart + 1))};
}

// A Location value against the address that answered with it.
std::string resolved(const Url& current, const std::string& location)
{
    if (location.find("://") != std::string::npos)
        return location;
    if (location.rfind("//", 0) == 0)
        return current.scheme + ":" + location;
    const auto origin = current.scheme + "://" + current.authority();
    if (location.rfind('/', 0) == 0)
        return origin + location;
    const auto folder = current.path.substr(0, current.path.rfind('/') + 1);
    return origin + (folder.empty() ? "/" : folder) + location;
}

}  // namespace

HttpsExchange::HttpsExchange(std::shared_ptr<asio::io_context> io, std::shared_ptr<TlsClientContext> tls,
                             HttpRequest request, Limits limits, Receiver receiver, Completion completion)
    : io_(std::move(io)), tls_(std::move(tls)), method_(std::move(request.method)), headers_(std::move(request.headers)),
      limits_(limits), receiver_(std::move(receiver)), completion_(std::move(completion)),
      connector_(TlsConnector::systemNameLookup, kConnectPerAddress), totalTimer_(*io_), phaseTimer_(*io_),
      firstAddress_(std::move(request.url))
{
    // Every method but GET and HEAD carries a body, empty when none was given.
    if (method_ != "GET" && method_ != "HEAD")
        body_ = request.body.value_or(std::string());
}

void HttpsExchange::start()
{
    if (const auto& problem = tls_->trustProblem())
        return finish(*problem);
    if (limits_.total) {
        totalTimer_.expires_after(*limits_.total);
        totalTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->abort(Error{"The request timed out."});
        });
    }
    hop(firstAddress_);
}

void HttpsExchange::hop(const std::string& address)
{
    auto parsed = parseAddress(address);
    if (!parsed)
        return finish(Error{"The address " + address + " is not a valid URL."});
    if (parsed->url.scheme != "https")
        return finish(Error{"The address " + address + " is not an https address."});
    url_ = std::move(parsed->url);
    query_ = std::move(parsed->query);
    stream_.emplace(*io_, tls_->context());
    buffer_.clear();
    connecting_ = true;
    watchConnect();
    connector_.connect(*stream_, weak_from_this(), url_.host, url_.effectivePort(),
                       [this](std::optional<Error> error) { onConnected(std::move(error)); });
}

void HttpsExchange::onConnected(std::optional<Error> error)
{
    connecting_ = false;
    ++phase_;
    phaseTimer_.cancel();
    if (stopReason_)
        return finish(*stopReason_);
    if (error)
        return finish(*error);

    outgoing_ = {};
    outgoing_.version(11);
    if (const auto verb = http::string_to_verb(method_); verb != http::verb::unknown)
        outgoing_.method(verb);
    else
        outgoing_.method_string(method_);
    outgoing_.target((url_.path.empty() ? "/" : url_.path) + (query_.empty() ? "" : "?" + query_));
    outgoing_.set(http::field::host, url_.authority());
    for (const auto& [name, value] : headers_)
        outgoing_.insert(name, value);
    outgoing_.keep_alive(false);
    if (body_) {
        outgoing_.body() = *body_;
        outgoing_.content_length(body_->size());
    }
    watchStall();
    http::async_write(*stream_, outgoing_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        if (self->stopped(ec))
            return;
        self->parser_.emplace();
        self->parser_->header_limit(kLargestHeader);
        // No limit here: the receiver counts. Not boost::none, which Boost 1.74 compares as a zero limit.
        self->parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        self->parser_->skip(self->method_ == "HEAD");
        http::async_read_header(*self->stream_, self->buffer_, *self->parser_,
                                [self](beast::error_code readError, std::size_t bytes) {
                                    self->received_ += bytes;
                                    if (!self->stopped(readError))
                                        self->onHeader();
                                });
    });
}

void HttpsExchange::onHeader()
{
    const auto& reply = parser_->get();
    const auto status = reply.result_int();
    const auto location = reply.find(http::field::location);
    if (isRedirect(status) && location != reply.end()) {
        if (++redirects_ > kMostRedirects)
            return finish(Error{"The server redirected more than " + std::to_string(kMostRedirects) + " times."});
        if (status == 301 || status == 302 || status == 303) {
            method_ = "GET";
            body_.reset();
        }
        const auto next = resolved(url_, std::string(location->value()));
        closeStream();
        return hop(next);
    }
    status_ = static_cast<long>(status);
    if (auto refusal = receiver_.replyStarted(status_))
        return finish(*refusal);
    readBody();
}

void HttpsExchange::readBody()
{
    if (parser_->is_done())
        return finish(status_);
    parser_->get().body().data = piece_.data();
    parser_->get().body().size = piece_.size();
    http::async_read(*stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
        self->onBody(ec, bytes);
    });
}

void HttpsExchange::onBody(beast::error_code ec, std::size_t bytes)
{
    received_ += bytes;
    if (stopReason_)
        return finish(*stopReason_);
    const auto arrived = piece_.size() - parser_->get().body().size;
    if (arrived > 0) {
        if (auto refusal = receiver_.bodyArrived(std::string_view(piece_.data(), arrived)))
            return finish(*refusal);
    }
    if (ec == http::error::need_buffer)
        ec = {};
    // A body that ends with the connection, closed without TLS's close_notify.
    if (ec == asio::ssl::error::stream_truncated && parser_->need_eof()) {
        ec = {};
        parser_->put_eof(ec);
    }
    if (stopped(ec))
        return;
    readBody();
}

void HttpsExchange::watchConnect()
{
    if (!limits_.connect)
        return;
    phaseTimer_.expires_after(*limits_.connect);
    phaseTimer_.async_wait([self = shared_from_this(), phase = ++phase_](beast::error_code ec) {
        if (!ec && phase == self->phase_ && self->connecting_)
            self->abort(Error{"No connection to " + self->url_.host + " within " +
                              std::to_string(self->limits_.connect->count()) + " s."});
    });
}

void HttpsExchange::watchStall()
{
    if (!limits_.stall)
        return;
    receivedBeforeWindow_ = received_;
    phaseTimer_.expires_after(*limits_.stall);
    phaseTimer_.async_wait([self = shared_from_this(), phase = ++phase_](beast::error_code ec) {
        if (ec || phase != self->phase_ || self->finished_)
            return;
        const auto seconds = static_cast<std::uint64_t>(self->limits_.stall->count());
        if (self->received_ - self->receivedBeforeWindow_ < seconds)
            return self->abort(Error{"The transfer stalled: less than one byte a second for " +
                                     std::to_string(seconds) + " s."});
        self->watchStall();
    });
}

bool HttpsExchange::stopped(beast::error_code ec)
{
    if (stopReason_)
        finish(*stopReason_);
    else if (ec)
        finish(Error{ec.message()});
    return stopReason_ || ec;
}

void HttpsExchange::abort(const Error& reason)
{
    if (finished_)
        return;
    if (!stopReason_)
        stopReason_ = reason;
    if (connecting_)
        return connector_.cancel();
    closeStream();
}

void HttpsExchange::closeStream()
{
    // Also cancels the stream's own timer, so nothing keeps the io thread waiting.
    if (stream_)
        beast::get_lowest_layer(*stream_).close();
}

void HttpsExchange::finish(Expected<long> outcome)
{
    if (finished_)
        return;
    finished_ = true;
    ++phase_;
    totalTimer_.cancel();
    phaseTimer_.cancel();
    closeStream();
    // The completion may drop the owner's hold on this exchange.
    const auto self = shared_from_this();
    auto completion = std::move(completion_);
    completion_ = nullptr;
    completion(std::move(outcome));
}

}  // namespace tessary
