#pragma once

#include <filesystem>
#include <optional>

#include <boost/asio/ssl/context.hpp>

#include "platform/Expected.h"

namespace tessary {

// The client side of every TLS connection the agent opens: TLS 1.2 or later, the peer verified
// against the system's trust store plus, when given, one extra CA certificate. A store that could
// not be loaded is kept as a problem for each connection to report, not thrown.
class TlsClientContext {
public:
    explicit TlsClientContext(const std::optional<std::filesystem::path>& extraCaFile);
    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

    boost::asio::ssl::context& context() { return context_; }
    // Why no connection can be verified, when the certificates could not be loaded.
    const std::optional<Error>& trustProblem() const { return trustProblem_; }

private:
    boost::asio::ssl::context context_{boost::asio::ssl::context::tls_client};
    std::optional<Error> trustProblem_;
};

}  // namespace tessary
