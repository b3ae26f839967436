#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Expected.h"

namespace tessary::devservice {

// The stand-in service's own trust: a CA made for it and a server certificate that CA signed
// for the given names (DNS names or IP addresses), kept as PEM files in one folder.
struct DevCertificates {
    std::filesystem::path caFile;  // what the agent trusts through TESSARY_CA_FILE
    std::string caPem;
    std::string serverCertificatePem;
    std::string serverKeyPem;

    // Reads ca.pem, server.pem and server-key.pem from the folder, creating them when missing.
    static Expected<DevCertificates> loadOrCreate(const std::filesystem::path& folder,
                                                  const std::vector<std::string>& names = {"localhost", "127.0.0.1",
                                                                                           "::1"});
};

}  // namespace tessary::devservice
