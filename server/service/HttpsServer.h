#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Expected.h"
#include "server/service/ServerCertificates.h"
#include "server/service/FamilyService.h"

namespace tessary::server {

// Serves a FamilyService over TLS: HTTPS for the API, the dashboard and the admin interface, and
// the device channel at /ws/device. One io thread.
class HttpsServer {
public:
    HttpsServer(std::shared_ptr<FamilyService> service, ServerCertificates certificates);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    // Listens on address:port (0 picks a free port) and starts the io thread.
    Expected<std::uint16_t> start(std::uint16_t port = 0, const std::string& address = "127.0.0.1");
    // Drops every connection at once, as a killed process would, and stops the thread.
    void stop();
    std::uint16_t port() const { return port_; }
    // On loopback, whatever address it listens on.
    std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

    // The io thread and its connections; defined in the source file.
    struct Core;

private:
    std::shared_ptr<FamilyService> service_;
    ServerCertificates certificates_;
    std::shared_ptr<Core> core_;
    std::uint16_t port_ = 0;
};

}  // namespace tessary::server
