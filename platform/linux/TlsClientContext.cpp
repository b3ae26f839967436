#include "platform/linux/TlsClientContext.h"

#include <openssl/ssl.h>

#include <boost/system/error_code.hpp>

#include "platform/linux/SystemTrustStore.h"

namespace tessary {

TlsClientContext::TlsClientContext(const std::optional<std::filesystem::path>& extraCaFile)
{
    SSL_CTX_set_min_proto_version(context_.native_handle(), TLS1_2_VERSION);
    context_.set_verify_mode(boost::asio::ssl::verify_peer);
    boost::system::error_code ec;
    context_.add_verify_path(SystemTrustStore::certificateFolder(), ec);
    if (const auto bundle = SystemTrustStore::certificateFile(); bundle && !ec)
        context_.load_verify_file(*bundle, ec);
    if (ec)
        trustProblem_ = Error{"The system's trusted certificates could not be loaded: " + ec.message()};
    if (extraCaFile) {
        context_.load_verify_file(extraCaFile->string(), ec);
        if (ec)
            trustProblem_ = Error{"The certificate file " + extraCaFile->string() + " could not be loaded: " +
                                  ec.message()};
    }
}

}  // namespace tessary
