#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Paths.h"
#include "tests/support/PrivateSecretService.h"
#include "tests/support/StandInServiceProcess.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WatchedProcess.h"

namespace tessary::testing {

// The real agent paired with the stand-in service, for end-to-end tests and benchmarks:
//   PairedAgentHarness harness;                      // keyring, service, temporary HOME
//   if (!harness.available()) skip(harness.whyUnavailable());
//   const auto& device = harness.pairDevice();       // paired at the service, credentials in the keyring
//   auto& agent = harness.startAgent();              // PellixApp, headless, logging to its pipe
//   agent.waitForLine("Monitoring started", 20s);
//   harness.service().pushRules(device.deviceId, rules);
// The agent runs with HOME and every XDG folder in a temporary folder (XDG_DATA_DIRS too, so only
// the desktop entries a test writes there are applications), the Secret Service backend on a
// private bus, and TESSARY_SERVICE_URL and TESSARY_CA_FILE naming the stand-in. Torn down in
// reverse order: agent, service, keyring, folder.
class PairedAgentHarness {
public:
    struct Programs {
        std::filesystem::path agent;       // Contents/bin/PellixApp
        std::filesystem::path chromeHost;  // Contents/Helpers/tessary-chrome-host
        std::filesystem::path server;  // server/tessary-server
        // The programs of the build this harness was compiled in.
        static Programs ofThisBuild();
    };

    explicit PairedAgentHarness(Programs programs = Programs::ofThisBuild());
    ~PairedAgentHarness();
    PairedAgentHarness(const PairedAgentHarness&) = delete;
    PairedAgentHarness& operator=(const PairedAgentHarness&) = delete;

    // False when no private Secret Service could be started here.
    bool available() const { return secrets_->available(); }
    const std::string& whyUnavailable() const { return secrets_->whyUnavailable(); }

    StandInServiceProcess& service() { return *service_; }
    // The agent's roots, all below folder().
    const Paths& paths() const { return paths_; }
    // Room for a test's own files (programs, desktop entries): folder() / "files".
    std::filesystem::path filesFolder() const { return folder_.path() / "files"; }
    // The first XDG_DATA_DIRS entry; desktop entries go in its "applications" folder.
    const std::filesystem::path& dataDir() const { return paths_.dataDirs.front(); }

    // Pairs a new device at the service and stores "deviceId", "token" and "familyId" in the keyring.
    const StandInServiceProcess::PairedDevice& pairDevice();
    const StandInServiceProcess::PairedDevice& device() const { return device_; }

    // Adds or replaces a variable of the agent's environment (takes effect at the next start).
    void setEnvironment(const std::string& name, const std::string& value) { extraEnvironment_[name] = value; }
    std::map<std::string, std::string> agentEnvironment() const;
    // Starts the agent (a running one is killed first).
    WatchedProcess& startAgent();
    WatchedProcess& agent() { return *agent_; }
    void killAgent();

    // One native message through the real Chrome host in the agent's environment: its reply.
    std::optional<nlohmann::json> sendBrowserMessage(const nlohmann::json& message) const;

    // The agent's credential in the keyring, as secret-tool reads it.
    std::optional<std::string> credential(const std::string& account) const;
    std::filesystem::path storeFile() const;
    std::filesystem::path chromeManifestFile() const;
    std::filesystem::path keepAliveUnitFile() const;
    // The link that enables the unit (dangling once the unit is gone).
    std::filesystem::path keepAliveWantsLinkFile() const;
    // The rules published in the shared store, as stored and parsed; absent when none are (or
    // there is no store yet).
    std::optional<std::string> publishedRulesText() const;
    std::optional<nlohmann::json> publishedRules() const;
    // Waits until one of the paired device's lists at the service ("activity", "statuses" ...) holds
    // an entry whose payload is exactly this one.
    bool waitForRecorded(const std::string& list, const nlohmann::json& payload, std::chrono::milliseconds limit);

private:
    Programs programs_;
    TemporaryFolder folder_;
    Paths paths_;
    std::unique_ptr<PrivateSecretService> secrets_;
    std::unique_ptr<StandInServiceProcess> service_;
    StandInServiceProcess::PairedDevice device_;
    std::map<std::string, std::string> extraEnvironment_;
    std::unique_ptr<WatchedProcess> agent_;
};

}  // namespace tessary::testing
