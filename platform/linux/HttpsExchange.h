#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "platform/Expected.h"
#include "platform/HttpTransport.h"
#include "platform/Url.h"
#include "platform/linux/TlsClientContext.h"
#include "platform/linux/TlsConnector.h"

namespace tessary {

// One HTTPS request on its owner's io thread, HTTP/1.1 with a connection of its own for each hop
// ("Connection: close"). Redirects are followed to https addresses only, at most 10: 301, 302 and
// 303 go on as a GET without body, 307 and 308 keep method and body. The final reply's body is
// handed on piece by piece as it arrives, so it is never held here. The owner holds the exchange
// until its completion has run.
class HttpsExchange final : public std::enable_shared_from_this<HttpsExchange> {
public:
    struct Limits {
        // The whole exchange, redirects included.
        std::optional<std::chrono::seconds> total;
        // Each hop's lookup, connect and handshake.
        std::optional<std::chrono::seconds> connect;
        // Once connected, fewer bytes than seconds arriving within this time is a stall.
        std::optional<std::chrono::seconds> stall;
    };
    struct Receiver {
        // The final reply's status, before its body; an error ends the exchange with it.
        std::function<std::optional<Error>(long status)> replyStarted;
        // A piece of the final reply's body; an error ends the exchange with it.
        std::function<std::optional<Error>(std::string_view bytes)> bodyArrived;
    };
    // The final reply's status; runs once, on the io thread.
    using Completion = std::function<void(Expected<long>)>;

    HttpsExchange(std::shared_ptr<boost::asio::io_context> io, std::shared_ptr<TlsClientContext> tls,
                  HttpRequest request, Limits limits, Receiver receiver, Completion completion);
    HttpsExchange(const HttpsExchange&) = delete;
    HttpsExchange& operator=(const HttpsExchange&) = delete;

    // On the io thread, once.
    void start();
    // On the io thread: the exchange ends with `reason`, at once or when the closed socket's
    // operation returns.
    void abort(const Error& reason);
    bool finished() const { return finished_; }

private:
    using Stream = TlsConnector::Stream;

    void hop(const std::string& address);
    void onConnected(std::optional<Error> error);
    void onHeader();
    void readBody();
    void onBody(boost::beast::error_code ec, std::size_t bytes);
    void watchConnect();
    void watchStall();
    bool stopped(boost::beast::error_code ec);
    void closeStream();
    void finish(Expected<long> outcome);

    const std::shared_ptr<boost::asio::io_context> io_;
    const std::shared_ptr<TlsClientContext> tls_;
    std::string method_;
    const std::vector<std::pair<std::string, std::string>> headers_;
    std::optional<std::string> body_;
    const Limits limits_;
    const Receiver receiver_;
    Completion completion_;
    TlsConnector connector_;
    boost::asio::steady_timer totalTimer_;
    // The connect limit while connecting, then the stall window.
    boost::asio::steady_timer phaseTimer_;
    std::uint64_t phase_ = 0;
    Url url_;
    std::string query_;
    std::optional<Stream> stream_;
    boost::beast::http::request<boost::beast::http::string_body> outgoing_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::response_parser<boost::beast::http::buffer_body>> parser_;
    std::array<char, 64 * 1024> piece_{};
    std::string firstAddress_;
    int redirects_ = 0;
    long status_ = -1;
    std::uint64_t received_ = 0;
    std::uint64_t receivedBeforeWindow_ = 0;
    bool connecting_ = false;
    // Set by an abort: what every step still under way then reports.
    std::optional<Error> stopReason_;
    bool finished_ = false;
};

}  // namespace tessary
