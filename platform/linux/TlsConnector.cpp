#include "platform/linux/TlsConnector.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/error.hpp>

namespace tessary {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;

namespace {

std::string spoken(std::chrono::milliseconds duration)
{
    if (duration.count() % 1000 == 0)
        return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

}  // namespace

Expected<std::vector<std::string>> TlsConnector::systemNameLookup(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0)
        return Error{"The host " + host + " could not be found: " + ::gai_strerror(status)};
    std::vector<std::string> addresses;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        char text[NI_MAXHOST] = {};
        if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return addresses;
}

TlsConnector::TlsConnector(NameLookup lookup, std::chrono::milliseconds connectPerAddress)
    : lookup_(std::move(lookup)), connectPerAddress_(connectPerAddress)
{
}

void TlsConnector::connect(Stream& stream, std::weak_ptr<void> owner, const std::string& host, std::uint16_t port,
                           Completion completion)
{
    stream_ = &stream;
    owner_ = std::move(owner);
    host_ = host;
    port_ = port;
    completion_ = std::move(completion);
    cancelled_ = false;
    endpoints_.clear();
    lookingUp_ = true;
    const auto attempt = ++attempt_;
    // A lookup may hang for minutes. Its thread holds the owner only weakly and hands the
    // addresses to the io thread; the owner, while alive, keeps that thread's io_context alive.
    try {
        std::thread([lookup = lookup_, host, owner = owner_, executor = stream.get_executor(), this, attempt] {
            auto addresses = lookup(host);
            if (!owner.lock())
                return;
            asio::post(executor, [owner, this, attempt, addresses = std::move(addresses)]() mutable {
                if (owner.lock() && attempt == attempt_ && lookingUp_)
                    onResolved(std::move(addresses));
            });
        }).detach();
    } catch (const std::system_error& e) {
        lookingUp_ = false;
        complete(Error{std::string("The host name could not be looked up: ") + e.what()});
    }
}

void TlsConnector::cancel()
{
    if (!completion_ || cancelled_)
        return;
    cancelled_ = true;
    if (lookingUp_) {
        lookingUp_ = false;
        return complete(Error{"cancelled"});
    }
    // Also cancels the stream's own timer, so nothing keeps the io thread waiting.
    beast::get_lowest_layer(*stream_).close();
}

void TlsConnector::onResolved(Expected<std::vector<std::string>> addresses)
{
    lookingUp_ = false;
    if (!addresses)
        return complete(addresses.error());
    for (const auto& text : addresses.value()) {
        beast::error_code notAnAddress;
        const auto address = asio::ip::make_address(text, notAnAddress);
        if (!notAnAddress)
            endpoints_.emplace_back(address, port_);
    }
    if (endpoints_.empty())
        return complete(Error{"The host " + host_ + " has no address."});
    connectTo(0);
}

// Addresses in order, each with its own time limit; a failure moves on to the next.
void TlsConnector::connectTo(std::size_t index)
{
    auto& socket = beast::get_lowest_layer(*stream_);
    socket.close();
    if (index == endpoints_.size())
        return complete(lastConnectError_);
    socket.expires_after(connectPerAddress_);
    socket.async_connect(endpoints_[index], [this, keep = owner_.lock(), index](beast::error_code ec) {
        if (cancelled_)
            return complete(Error{"cancelled"});
        if (ec) {
            lastConnectError_ = Error{endpoints_[index].address().to_string() + ": " +
                                      (ec == beast::error::timeout ? "no connection within " + spoken(connectPerAddress_)
                                                                   : ec.message())};
            return connectTo(index + 1);
        }
        handshake();
    });
}

void TlsConnector::handshake()
{
    // From here the owner's own time limits bound the connection.
    beast::get_lowest_layer(*stream_).expires_never();
    beast::error_code addressError;
    asio::ip::make_address(host_, addressError);
    // SNI carries names only, never an address literal.
    if (addressError && SSL_ctrl(stream_->native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                                 const_cast<char*>(host_.c_str())) != 1)
        return complete(Error{"The server name could not be set for TLS."});
    stream_->set_verify_mode(ssl::verify_peer);
    stream_->set_verify_callback(ssl::host_name_verification(host_));
    stream_->async_handshake(ssl::stream_base::client, [this, keep = owner_.lock()](beast::error_code ec) {
        if (cancelled_)
            return complete(Error{"cancelled"});
        complete(ec ? std::optional<Error>(Error{ec.message()}) : std::nullopt);
    });
}

void TlsConnector::complete(std::optional<Error> error)
{
    auto completion = std::move(completion_);
    completion_ = nullptr;
    completion(std::move(error));
}

}  // namespace tessary
