// The Debian package as installed on this computer: the agent started from /opt/tessary in a
// temporary HOME, and real headless Chromium reaching the installed Chrome host through the
// system-wide manifest. Needs root and an installed package, so tests/package/InstallTest.sh runs
// it between installing and removing the package on a disposable machine; elsewhere it skips.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.h"
#include "tests/support/HeadlessFirefox.h"
#include "tests/support/PairedAgentHarness.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/WatchedProcess.h"

namespace tessary {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PairedAgentHarness;
using testing::TemporaryFolder;
using testing::waitUntil;

constexpr auto kLimit = 30s;
const std::filesystem::path kInstalledAgent = "/opt/tessary/Contents/bin/PellixApp";
const std::filesystem::path kInstalledHost = "/opt/tessary/Contents/Helpers/tessary-chrome-host";
const std::filesystem::path kChromiumManifest = "/etc/chromium/native-messaging-hosts/app.brenmoor.tessary.json";
const std::filesystem::path kChromium = "/usr/bin/chromium";

bool packageInstalled()
{
    return ChildProcess::run({"dpkg-query", "-W", "-f=${Status}", "tessary"}).second == "install ok installed";
}

bool present(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

// An unpacked extension with a key of its own, so its ID is known before Chromium loads it.
struct TestExtension {
    std::filesystem::path folder;
    std::string origin;
};

std::optional<TestExtension> writeExtension(const std::filesystem::path& folder, const std::string& script)
{
    const auto [status, output] = ChildProcess::run(
        {"sh", "-c",
         "openssl genrsa 2048 2>/dev/null | openssl rsa -pubout -outform DER 2>/dev/null >\"$0/key.der\" && "
         "base64 -w0 \"$0/key.der\" && echo && sha256sum \"$0/key.der\" | cut -c1-32 | tr 0-9a-f a-p",
         folder.string()});
    const auto newline = output.find('\n');
    if (status != 0 || newline == std::string::npos)
        return std::nullopt;
    const auto key = output.substr(0, newline);
    auto id = output.substr(newline + 1);
    id.erase(id.find_last_not_of('\n') + 1);
    if (id.size() != 32)
        return std::nullopt;
    const json manifest = {{"manifest_version", 3},
                           {"name", "Tessary install test"},
                           {"version", "1"},
                           {"key", key},
                           {"permissions", json::array({"nativeMessaging"})},
                           {"background", {{"service_worker", "background.js"}}}};
    TemporaryFolder::writeFile(folder / "extension" / "manifest.json", manifest.dump(2));
    TemporaryFolder::writeFile(folder / "extension" / "background.js", script);
    return TestExtension{folder / "extension", "chrome-extension://" + id + "/"};
}

// Lets the test's own extension use the installed manifest for as long as it lives: the store's
// extension IDs cannot be loaded unpacked. Everything else in the file stays as installed, and the
// installed bytes come back at the end (the install test checks them with dpkg --verify).
class ManifestAllowingOrigin {
public:
    ManifestAllowingOrigin(const std::filesystem::path& file, const std::string& origin)
        : file_(file), installed_(TemporaryFolder::readFile(file))
    {
        auto manifest = json::parse(installed_);
        manifest["allowed_origins"].push_back(origin);
        TemporaryFolder::writeFile(file_, manifest.dump(2));
    }
    ~ManifestAllowingOrigin() { TemporaryFolder::writeFile(file_, installed_); }
    ManifestAllowingOrigin(const ManifestAllowingOrigin&) = delete;
    ManifestAllowingOrigin& operator=(const ManifestAllowingOrigin&) = delete;

private:
    std::filesystem::path file_;
    std::string installed_;
};

// The family's configuration of the installed agent, for the length of a test; nothing of it is
// left afterwards.
class SystemConfiguration {
public:
    static inline const std::filesystem::path kFile = "/etc/tessary/agent.json";

    SystemConfiguration(const json& content, std::filesystem::perms mode)
    {
        std::filesystem::create_directories(kFile.parent_path());
        TemporaryFolder::writeFile(kFile, content.dump());
        std::filesystem::permissions(kFile, mode);
    }
    ~SystemConfiguration() { std::filesystem::remove_all(kFile.parent_path()); }
    SystemConfiguration(const SystemConfiguration&) = delete;
    SystemConfiguration& operator=(const SystemConfiguration&) = delete;
};

class InstalledPackageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || !packageInstalled())
            GTEST_SKIP() << "needs root and the tessary package installed (tests/package/InstallTest.sh)";
        if (!harness.available())
            TESSARY_SKIP_WITHOUT(harness.whyUnavailable());
        // What a child could set: an installed agent must not follow it.
        harness.setEnvironment("TESSARY_SERVICE_URL", "https://127.0.0.1:9/");
        configuration = std::make_unique<SystemConfiguration>(
            json{{"serviceURL", harness.service().baseURL()}, {"caFile", harness.service().caFile().string()}},
            std::filesystem::perms(0644));
    }

    PairedAgentHarness harness{{kInstalledAgent, kInstalledHost, PairedAgentHarness::Programs::ofThisBuild().server}};
    std::unique_ptr<SystemConfiguration> configuration;
};

TEST_F(InstalledPackageTest, AConfigurationOthersCanWriteIsRefusedAndSaid)
{
    configuration.reset();
    configuration = std::make_unique<SystemConfiguration>(json{{"serviceURL", "https://127.0.0.1:9/"}},
                                                          std::filesystem::perms(0664));
    harness.pairDevice();
    auto& agent = harness.startAgent();
    EXPECT_TRUE(agent.waitForLine("Ignoring the configuration /etc/tessary/agent.json: it must be owned by root and "
                                  "writable by no one else",
                                  kLimit))
        << agent.output();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
    EXPECT_FALSE(agent.hasLine("127.0.0.1:9")) << agent.output();
}

TEST_F(InstalledPackageTest, TheInstalledAgentMonitorsFromOptAndLeavesTheLoginItemAndUnitToThePackage)
{
    EXPECT_EQ(json::parse(TemporaryFolder::readFile(kChromiumManifest))["path"], kInstalledHost.string());
    const auto& device = harness.pairDevice();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();

    // Per user only what the package cannot give: the Chrome manifest, pointing into /opt.
    ASSERT_TRUE(waitUntil([&] { return present(harness.chromeManifestFile()); }, kLimit)) << agent.output();
    EXPECT_EQ(json::parse(TemporaryFolder::readFile(harness.chromeManifestFile()))["path"], kInstalledHost.string());
    const auto& paths = harness.paths();
    EXPECT_FALSE(present(paths.configHome / "autostart" / "app.brenmoor.tessary.desktop"))
        << "the package's autostart entry starts the agent";
    EXPECT_FALSE(present(harness.keepAliveUnitFile())) << "the package's unit keeps the agent running";
    EXPECT_FALSE(agent.hasLine("LaunchAgent missing")) << agent.output();

    const auto visit = harness.sendBrowserMessage(
        {{"type", "url_visit"}, {"url", "https://example.org/installed"}, {"timestamp", 1700000001}});
    EXPECT_EQ(visit, (json{{"ok", true}}));
    EXPECT_TRUE(waitUntil(
        [&] { return harness.service().device(device.deviceId).dump().find("example.org/installed") != std::string::npos; },
        kLimit))
        << agent.output();
}

TEST_F(InstalledPackageTest, HeadlessChromiumReachesTheInstalledHostThroughTheSystemWideManifest)
{
    if (!present(kChromium))
        TESSARY_SKIP_WITHOUT("Chromium is not installed");
    harness.pairDevice();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();

    // Chromium starts the host the manifest names, with this extension's origin; the host queues
    // the visit in the shared store and the agent sends it on.
    const auto extension = writeExtension(harness.filesFolder(), R"(
chrome.runtime.sendNativeMessage("app.brenmoor.tessary",
    {type: "url_visit", url: "https://example.org/from-chromium", timestamp: 1700000002})
  .then(reply => console.log("tessary reply " + JSON.stringify(reply)),
        error => console.error("tessary error " + error));
)");
    ASSERT_TRUE(extension.has_value()) << "openssl could not make the extension's key";
    ManifestAllowingOrigin allowed(kChromiumManifest, extension->origin);

    // As root Chromium runs only without its sandbox; background networking would only meet this
    // machine's closed network.
    testing::WatchedProcess chromium(
        {kChromium.string(), "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync", "--enable-logging=stderr",
         "--user-data-dir=" + (harness.filesFolder() / "chromium-profile").string(),
         "--load-extension=" + extension->folder.string(), "about:blank"},
        harness.agentEnvironment());
    ASSERT_TRUE(chromium.started());

    const json expected = {
        {"events", json::array({{{"type", "site_visit"}, {"url", "https://example.org/from-chromium"}, {"ts", 1700000002}}})}};
    EXPECT_TRUE(harness.waitForRecorded("activity", expected, 60s))
        << "agent:\n"
        << agent.output() << "\nchromium:\n"
        << chromium.output();
}

TEST_F(InstalledPackageTest, HeadlessFirefoxReachesTheInstalledHostThroughTheSystemWideManifest)
{
    using testing::HeadlessFirefox;
    if (!HeadlessFirefox::installed())
        TESSARY_SKIP_WITHOUT("firefox-esr is not installed");
    const std::filesystem::path manifest = "/usr/lib/mozilla/native-messaging-hosts/app.brenmoor.tessary.json";
    EXPECT_EQ(json::parse(TemporaryFolder::readFile(manifest))["path"],
              "/opt/tessary/Contents/Helpers/tessary-firefox-host");
    const auto& device = harness.pairDevice();
    auto& agent = harness.startAgent();
    ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
    ASSERT_FALSE(present(harness.paths().home / ".mozilla" / "native-messaging-hosts")) << "only the package's manifest";

    HeadlessFirefox firefox(harness.filesFolder(), harness.agentEnvironment());
    const json expected = {{"events", json::array({{{"type", "site_visit"},
                                                    {"url", HeadlessFirefox::kVisitURL},
                                                    {"ts", HeadlessFirefox::kVisitTimestamp}}})}};
    EXPECT_TRUE(harness.waitForRecorded("activity", expected, 60s))
        << "agent:\n" << agent.output() << "\nfirefox:\n" << firefox.process().output();
    EXPECT_TRUE(harness.waitForRecorded("accessRequests",
                                        json{{"url", HeadlessFirefox::kWantedURL}, {"title", "[]"}}, kLimit))
        << harness.service().device(device.deviceId).dump();
    // Firefox read the package's policy: the extension it forces may run in private windows.
    EXPECT_TRUE(harness.waitForRecorded("accessRequests",
                                        json{{"url", HeadlessFirefox::kPrivateBrowsingURL}, {"title", "true"}}, kLimit))
        << harness.service().device(device.deviceId).dump();
}

}  // namespace
}  // namespace tessary
