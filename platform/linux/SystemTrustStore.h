#pragma once

#include <optional>
#include <string>

namespace tessary {

// The certificates the system trusts, as the agent's TLS connections read them: from the hashed
// folder (SSL_CERT_DIR, else OpenSSL's default, /etc/ssl/certs on Debian), where a handshake reads
// only the certificates its chain needs. The bundle file is read whole only when SSL_CERT_FILE names
// one: read by default, it would keep some 140 parsed certificates, about 0.7 MB, in every trust
// store for the agent's whole life.
class SystemTrustStore {
public:
    static std::string certificateFolder();
    // SSL_CERT_FILE when set and not empty.
    static std::optional<std::string> certificateFile();
};

}  // namespace tessary
