#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Expected.h"
#include "tools/devservice/DevCertificates.h"
#include "tools/devservice/DevService.h"

namespace tessary::devservice {

// Serves a DevService over TLS on loopback: HTTPS for the API and the admin interface, and
// the device channel at /ws/device. One io thread.
class DevServer {
public:
    DevServer(std::shared_ptr<DevService> service, DevCertificates certificates);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Listens on 127.0.0.1:port (0 picks a free port) and starts the io thread.
    Expected<std::uint16_t> start(std::uint16_t port = 0);
    // Drops every connection at once, as a killed process would, and stops the thread.
    void stop();
    std::uint16_t port() const { return port_; }
    std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

    // The io thread and its connections; defined in the source file.
    struct Core;

private:
    std::shared_ptr<DevService> service_;
    DevCertificates certificates_;
    std::shared_ptr<Core> core_;
    std::uint16_t port_ = 0;
};

}  // namespace tessary::devservice
