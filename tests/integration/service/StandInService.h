#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"
#include "server/service/ServerCertificates.h"
#include "server/service/HttpsServer.h"
#include "server/service/FamilyService.h"

namespace tessary::testing {

// The stand-in service running in this process on its own thread, over real TLS on loopback,
// with its certificates in a temporary folder.
class StandInService {
public:
    struct PairedDevice {
        std::string deviceId;
        std::string token;
    };

    explicit StandInService(const std::vector<std::string>& certificateNames = {"localhost", "127.0.0.1"});

    void start(std::uint16_t port = 0);
    void stop() { server_->stop(); }

    server::FamilyService& service() { return *service_; }
    const std::filesystem::path& caFile() const { return certificates_.caFile; }
    std::uint16_t port() const { return port_; }
    std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(port_); }
    std::string wsURL() const { return "wss://127.0.0.1:" + std::to_string(port_) + "/ws/device"; }
    // Pairs a device through the service's own pairing endpoint.
    PairedDevice pairDevice(const std::string& deviceId = "device-0c3a2f9e-5b7d-4f1a-9e2b-7d4c6a8b1e0f");

private:
    TemporaryFolder folder_;
    server::ServerCertificates certificates_;
    std::shared_ptr<server::FamilyService> service_;
    std::unique_ptr<server::HttpsServer> server_;
    std::uint16_t port_ = 0;
};

}  // namespace tessary::testing
