#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "platform/Expected.h"

namespace tessary {

// Opens one verified TLS connection after another for its owner, on the owner's io thread: the
// host is looked up on a thread nobody waits for, each address gets its own time to accept the
// TCP connection, SNI carries the host name (never an address literal), and the handshake
// verifies the peer and its host name under the stream's context (see TlsClientContext).
class TlsConnector {
public:
    using Stream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
    // The numeric addresses (IPv6 or IPv4) of a host, in the order to try them. May block; it
    // runs on a thread of its own.
    using NameLookup = std::function<Expected<std::vector<std::string>>(const std::string& host)>;
    // Runs on the io thread; no error once the handshake is done.
    using Completion = std::function<void(std::optional<Error>)>;

    // getaddrinfo, both address families, duplicates removed.
    static Expected<std::vector<std::string>> systemNameLookup(const std::string& host);

    TlsConnector(NameLookup lookup, std::chrono::milliseconds connectPerAddress);
    TlsConnector(const TlsConnector&) = delete;
    TlsConnector& operator=(const TlsConnector&) = delete;

    // On the io thread, when no connection is under way. `owner` holds this connector and `stream`;
    // it is held only weakly while the name is looked up, so an owner that goes away meanwhile hears
    // nothing, and strongly while the stream works.
    void connect(Stream& stream, std::weak_ptr<void> owner, const std::string& host, std::uint16_t port,
                 Completion completion);
    // On the io thread: the connection under way ends with "cancelled", during a lookup at once
    // (from within this call), otherwise when the closed socket's operation returns.
    void cancel();

private:
    void onResolved(Expected<std::vector<std::string>> addresses);
    void connectTo(std::size_t index);
    void handshake();
    void complete(std::optional<Error> error);

    const NameLookup lookup_;
    const std::chrono::milliseconds connectPerAddress_;
    Stream* stream_ = nullptr;
    std::weak_ptr<void> owner_;
    std::string host_;
    std::uint16_t port_ = 0;
    Completion completion_;
    // Tells a late lookup answer from the one the connection under way waits for.
    std::uint64_t attempt_ = 0;
    bool lookingUp_ = false;
    bool cancelled_ = false;
    std::vector<boost::asio::ip::tcp::endpoint> endpoints_;
    Error lastConnectError_;
};

}  // namespace tessary
