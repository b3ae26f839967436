#pragma once

#include <filesystem>
#include <optional>

#include <curl/curl.h>

namespace tessary {

// The rules every HTTPS transfer of the agent follows, set on one easy handle: https only, redirects
// included (at most 10, never to http); peer and host name always verified; TLS 1.2 or later; the
// system's trust store plus, when given, one extra CA certificate.
class CurlTransferPolicy {
public:
    // Once per process, before the first handle is made; safe to call again.
    static void initialiseLibrary();
    // `extraCaFile` is read when each connection is set up, so it must outlive the transfer.
    static void apply(CURL* easy, const std::optional<std::filesystem::path>& extraCaFile);
};

}  // namespace tessary
