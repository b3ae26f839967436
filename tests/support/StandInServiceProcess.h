#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/TemporaryFolder.h"
#include "tests/support/WatchedProcess.h"

namespace tessary {
class BeastHttpTransport;
}

namespace tessary::testing {

// The stand-in service program (server/, tessary-server) as a child process on a free loopback port,
// with its certificates and state in a temporary folder, and a client for its device API and its
// admin interface over the same verified TLS the agent uses. The constructor throws
// std::runtime_error when the program does not come up.
class StandInServiceProcess {
public:
    struct Reply {
        // The HTTP status, or -1 when no reply came (transport error or time-out).
        long status = -1;
        std::string text;
        // The body as JSON; discarded when it is not JSON.
        nlohmann::json json;
    };

    struct PairedDevice {
        std::string deviceId;
        std::string token;
        std::string familyId;
    };

    explicit StandInServiceProcess(const std::filesystem::path& program);
    ~StandInServiceProcess();

    // Kills the service (SIGKILL): its clients see the connection go, as in an outage.
    void stop();
    // Starts it again on the same port with the same state (pairings, rules); what devices sent
    // before is no longer recorded.
    void start();
    StandInServiceProcess(const StandInServiceProcess&) = delete;
    StandInServiceProcess& operator=(const StandInServiceProcess&) = delete;

    // "https://127.0.0.1:<port>", for TESSARY_SERVICE_URL.
    const std::string& baseURL() const { return baseURL_; }
    // The CA that signed the service's certificate, for TESSARY_CA_FILE.
    const std::filesystem::path& caFile() const { return caFile_; }
    WatchedProcess& process() { return *process_; }

    // One request to path (below the base URL); waits for the reply up to the limit.
    Reply call(const std::string& method, const std::string& path, std::optional<std::string> body = std::nullopt,
               std::vector<std::pair<std::string, std::string>> headers = {},
               std::chrono::milliseconds limit = std::chrono::seconds(10));

    // Pairs a device as the setup wizard does: a setup code issued through the admin interface,
    // then used with the device's identifier ("device-<uuid>", new by default). Throws
    // std::runtime_error when the service refuses.
    PairedDevice pairDevice(std::optional<std::string> deviceId = std::nullopt);

    // A parent who signs in to the dashboard with this password, for that family (as the program's
    // add-parent command makes one, beside the running server).
    bool addParent(const std::string& name, const std::string& password, const std::string& familyId);

    // Admin interface. device(): what the device sent and its rules (null when it is unknown).
    nlohmann::json device(const std::string& deviceId);
    Reply pushRules(const std::string& deviceId, const nlohmann::json& rules);
    Reply deleteDevice(const std::string& deviceId);

    // The value of a header in a recorded header object, whatever the case of its name.
    static std::optional<std::string> header(const nlohmann::json& headers, const std::string& name);

private:
    void launch(const std::string& port);

    std::filesystem::path program_;
    TemporaryFolder folder_;
    std::unique_ptr<WatchedProcess> process_;
    std::string baseURL_;
    std::filesystem::path caFile_;
    std::unique_ptr<BeastHttpTransport> transport_;
};

}  // namespace tessary::testing
