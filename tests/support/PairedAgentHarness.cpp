#include "tests/support/PairedAgentHarness.h"

#include <stdexcept>

#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NativeFrames.h"
#include "tests/support/WaitUntil.h"

namespace tessary::testing {

namespace {

constexpr auto kCredentialService = "app.brenmoor.tessary.device";
// Any allowed extension origin: the host answers whoever Chrome starts it for.
constexpr auto kExtensionOrigin = "chrome-extension://kfpbnmcjdeoahlgikfpbnmcjdeoahlgi/";

// The host's one reply, when its output is exactly one frame of JSON.
std::optional<nlohmann::json> unframed(const std::string& output)
{
    const auto bodies = NativeFrames::bodies(output);
    if (!bodies || bodies->size() != 1)
        return std::nullopt;
    auto reply = nlohmann::json::parse(bodies->front(), nullptr, false);
    if (reply.is_discarded())
        return std::nullopt;
    return reply;
}

}  // namespace

PairedAgentHarness::Programs PairedAgentHarness::Programs::ofThisBuild()
{
    return Programs{TESSARY_HARNESS_AGENT_PATH, TESSARY_HARNESS_CHROME_HOST_PATH, TESSARY_HARNESS_SERVER_PATH};
}

PairedAgentHarness::PairedAgentHarness(Programs programs) : programs_(std::move(programs)), paths_(folder_.paths())
{
    std::filesystem::permissions(paths_.runtimeDir, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(dataDir() / "applications");
    std::filesystem::create_directories(filesFolder());
    secrets_ = std::make_unique<PrivateSecretService>();
    service_ = std::make_unique<StandInServiceProcess>(programs_.server);
}

PairedAgentHarness::~PairedAgentHarness()
{
    agent_.reset();
    service_.reset();
    secrets_.reset();
}

const StandInServiceProcess::PairedDevice& PairedAgentHarness::pairDevice()
{
    device_ = service_->pairDevice();
    for (const auto& [account, value] :
         {std::pair{"deviceId", device_.deviceId}, {"token", device_.token}, {"familyId", device_.familyId}}) {
        if (!secrets_->store(kCredentialService, account, value))
            throw std::runtime_error(std::string("the keyring did not store ") + account);
    }
    return device_;
}

std::map<std::string, std::string> PairedAgentHarness::agentEnvironment() const
{
    std::string dataDirs;
    for (const auto& folder : paths_.dataDirs)
        dataDirs += (dataDirs.empty() ? "" : ":") + folder.string();
    std::map<std::string, std::string> environment = {{"HOME", paths_.home.string()},
                                                      {"XDG_CONFIG_HOME", paths_.configHome.string()},
                                                      {"XDG_DATA_HOME", paths_.dataHome.string()},
                                                      {"XDG_CACHE_HOME", (paths_.home / ".cache").string()},
                                                      {"XDG_STATE_HOME", (paths_.home / ".local" / "state").string()},
                                                      {"XDG_RUNTIME_DIR", paths_.runtimeDir.string()},
                                                      {"XDG_DATA_DIRS", dataDirs},
                                                      {"QT_QPA_PLATFORM", "offscreen"},
                                                      {"TESSARY_SECRET_BACKEND", "secret-service"},
                                                      {"TESSARY_LOG_STDERR", "1"},
                                                      {"TESSARY_SERVICE_URL", service_->baseURL()},
                                                      {"TESSARY_CA_FILE", service_->caFile().string()}};
    for (const auto& [name, value] : secrets_->environment())
        environment[name] = value;
    for (const auto& [name, value] : extraEnvironment_)
        environment[name] = value;
    return environment;
}

WatchedProcess& PairedAgentHarness::startAgent()
{
    agent_.reset();
    agent_ = std::make_unique<WatchedProcess>(std::vector<std::string>{programs_.agent.string()}, agentEnvironment());
    if (!agent_->started())
        throw std::runtime_error("the agent could not be started: " + programs_.agent.string());
    return *agent_;
}

void PairedAgentHarness::killAgent()
{
    if (agent_)
        agent_->kill();
}

std::optional<nlohmann::json> PairedAgentHarness::sendBrowserMessage(const nlohmann::json& message) const
{
    const auto [status, output] = ChildProcess::run({programs_.chromeHost.string(), kExtensionOrigin},
                                                    agentEnvironment(), NativeFrames::framed(message.dump()));
    if (status != 0)
        return std::nullopt;
    return unframed(output);
}

std::optional<std::string> PairedAgentHarness::credential(const std::string& account) const
{
    return secrets_->lookup(kCredentialService, account);
}

std::filesystem::path PairedAgentHarness::storeFile() const
{
    return SharedStoreFormat::storePath(paths_);
}

std::filesystem::path PairedAgentHarness::chromeManifestFile() const
{
    return paths_.configHome / "google-chrome" / "NativeMessagingHosts" / "app.brenmoor.tessary.json";
}

std::filesystem::path PairedAgentHarness::keepAliveUnitFile() const
{
    return paths_.configHome / "systemd" / "user" / "app.brenmoor.tessary.keepalive.service";
}

std::filesystem::path PairedAgentHarness::keepAliveWantsLinkFile() const
{
    return paths_.configHome / "systemd" / "user" / "default.target.wants" / "app.brenmoor.tessary.keepalive.service";
}

std::optional<std::string> PairedAgentHarness::publishedRulesText() const
{
    std::error_code error;
    if (!std::filesystem::exists(storeFile(), error))
        return std::nullopt;
    auto store = SharedStore::open(storeFile(), SharedStore::Access::readExisting, std::chrono::milliseconds(2000));
    if (!store)
        return std::nullopt;
    auto rules = store.value()->dataForKey(SharedStoreFormat::kRulesKey);
    if (!rules)
        return std::nullopt;
    return std::move(rules).value();
}

std::optional<nlohmann::json> PairedAgentHarness::publishedRules() const
{
    const auto text = publishedRulesText();
    if (!text)
        return std::nullopt;
    auto parsed = nlohmann::json::parse(*text, nullptr, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

bool PairedAgentHarness::waitForRecorded(const std::string& list, const nlohmann::json& payload,
                                         std::chrono::milliseconds limit)
{
    return waitUntil(
        [&] {
            const auto recorded = service_->device(device_.deviceId);
            if (!recorded.is_object() || !recorded.contains(list) || !recorded[list].is_array())
                return false;
            for (const auto& entry : recorded[list])
                if (entry.value("payload", nlohmann::json()) == payload)
                    return true;
            return false;
        },
        limit);
}

}  // namespace tessary::testing
