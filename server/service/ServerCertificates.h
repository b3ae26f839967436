#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Expected.h"

namespace tessary::server {

// The server's TLS identity: either a certificate chain and key the family has (from a public
// CA or their own), or the server's own trust: a CA made for it and a server certificate that CA
// signed for the given names (DNS names or IP addresses), kept as PEM files in one folder.
struct ServerCertificates {
    // The CA a device is told to trust (TESSARY_CA_FILE, or "caFile" of the agent's configuration);
    // empty for a certificate the family brought.
    std::filesystem::path caFile;
    std::string caPem;
    std::string serverCertificatePem;
    std::string serverKeyPem;

    // Reads ca.pem, server.pem and server-key.pem from the folder, creating them when missing.
    static Expected<ServerCertificates> loadOrCreate(const std::filesystem::path& folder,
                                                  const std::vector<std::string>& names = {"localhost", "127.0.0.1",
                                                                                           "::1"});
    // The chain and key from these PEM files, checked to belong together.
    static Expected<ServerCertificates> load(const std::filesystem::path& certificateFile,
                                             const std::filesystem::path& keyFile);
    // The SHA-256 fingerprint of the server's certificate, "AB:CD:...", to compare with what a
    // browser shows the first time; empty when the PEM does not parse.
    std::string fingerprint() const;
};

}  // namespace tessary::server
