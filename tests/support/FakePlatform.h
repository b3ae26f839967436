#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/bridge/NativeMessagingHost.h"
#include "agent/core/AgentPlatform.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/HostManifestFile.h"
#include "platform/linux/SystemdKeepAliveUnit.h"
#include "tests/support/FakeNotificationListener.h"
#include "tests/support/FakeWebSocketSession.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/ScriptedHttpTransport.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary::testing {

// Items in memory, readable before any open (most tests store credentials up front). An open
// succeeds at once unless failures are queued, or is held until the test completes it.
class MemorySecureStore final : public SecureStore {
public:
    void open(const std::string& service, OpenCompletion completion) override
    {
        ++opens;
        openedServices.push_back(service);
        if (holdOpens) {
            heldOpens.push_back(std::move(completion));
            return;
        }
        if (!openFailures.empty()) {
            auto failure = openFailures.front();
            openFailures.erase(openFailures.begin());
            completion(failure);
            return;
        }
        completion(std::nullopt);
    }
    // Ends every held open with this outcome, oldest first.
    void completeHeldOpens(const std::optional<Error>& outcome = std::nullopt)
    {
        auto held = std::move(heldOpens);
        heldOpens.clear();
        for (auto& completion : held)
            completion(outcome);
    }
    void save(const std::string& service, const std::string& account, const std::string& bytes) override
    {
        ++writes;
        items[{service, account}] = bytes;
    }
    std::optional<std::string> load(const std::string& service, const std::string& account) override
    {
        ++reads;
        const auto found = items.find({service, account});
        if (found == items.end())
            return std::nullopt;
        return found->second;
    }
    void remove(const std::string& service, const std::string& account) override
    {
        ++writes;
        items.erase({service, account});
    }

    std::map<std::pair<std::string, std::string>, std::string> items;
    int reads = 0;
    int writes = 0;
    int opens = 0;
    std::vector<std::string> openedServices;
    // The outcomes of the next opens, oldest first; then opens succeed.
    std::vector<std::optional<Error>> openFailures;
    bool holdOpens = false;
    std::vector<OpenCompletion> heldOpens;
};

class MemoryUserDefaults final : public UserDefaults {
public:
    bool boolForKey(const std::string& key) override { return values[key]; }
    void setBool(const std::string& key, bool value) override { values[key] = value; }
    std::map<std::string, bool> values;
};

class FakeInstanceLock final : public InstanceLock {
public:
    bool tryAcquire() override
    {
        held = held || available;
        return held;
    }
    void release() override
    {
        held = false;
        ++releases;
    }
    // False while another copy holds the lock.
    bool available = true;
    bool held = false;
    int releases = 0;
};

class FakeHostFacts final : public HostFacts {
public:
    std::optional<std::string> computerName() override { return name; }
    std::string userName() override { return user; }
    std::optional<std::string> name = "Test Computer";
    std::string user = "child";
};

class FakeBrowserPolicy final : public BrowserPolicy {
public:
    bool isInstalledSystemWide() override { return installed; }
    bool installed = false;
};

class RecordingLauncher final : public Launcher {
public:
    void open(const std::string& urlOrPath, Opened done) override
    {
        opened.push_back(urlOrPath);
        if (done)
            done(failure);
    }
    std::vector<std::string> opened;
    std::optional<Error> failure;
};

class FakeLoginItem final : public LoginItem {
public:
    std::optional<Error> registerAgent() override
    {
        ++registrations;
        return failure;
    }
    bool isSystemWide() override { return systemWide; }
    int registrations = 0;
    std::optional<Error> failure;
    bool systemWide = false;
};

// The user's service manager: whether it could start the keep-alive agent now, and what it was asked.
class FakeServiceManager final : public ServiceManager {
public:
    bool canStartKeepAliveAgent() override
    {
        ++readinessQueries;
        return ready;
    }
    bool startKeepAliveAgent() override
    {
        ++startRequests;
        if (accepts && onStart)
            onStart();
        return accepts;
    }
    void reloadDefinitions() override { ++reloads; }

    bool ready = false;
    bool accepts = true;
    // What an accepted start does, such as the started agent taking the lock.
    std::function<void()> onStart;
    int readinessQueries = 0;
    int startRequests = 0;
    int reloads = 0;
};

class FakeAdminCheck final : public AdminCheck {
public:
    bool isAdmin(const std::string& userName) override
    {
        askedFor = userName;
        return admin;
    }
    bool admin = false;
    std::string askedFor;
};

// The program on disk: replaced once a test says an update was installed over it.
// A watchdog that counts what it was told; off unless given an interval.
class FakeServiceWatchdog final : public ServiceWatchdog {
public:
    std::optional<std::chrono::milliseconds> interval() override { return watchInterval; }
    void notifyRunning() override { ++running; }
    void feed() override { ++fed; }
    bool takeRestartNotice() override { return std::exchange(restartNotice, false); }

    std::optional<std::chrono::milliseconds> watchInterval;
    bool restartNotice = false;
    int running = 0;
    int fed = 0;
};

class FakeInstalledProgram final : public InstalledProgram {
public:
    bool isReplaced() override { return replaced; }
    bool replaced = false;
};

// Another Chromium-family browser's manifest in memory: whether the browser is present, what was
// last written (absent once removed), and a failure to report on the next writes.
class FakeBrowserHostManifest final : public ChromeHostManifest {
public:
    explicit FakeBrowserHostManifest(std::string name) : name_(std::move(name)) {}

    const std::string& browserName() const override { return name_; }
    bool isBrowserPresent() override { return present; }
    std::optional<Error> write(std::string_view bytes) override
    {
        if (failure)
            return failure;
        content = std::string(bytes);
        return std::nullopt;
    }
    bool remove() override { return std::exchange(content, std::nullopt).has_value(); }

    bool present = false;
    std::optional<std::string> content;
    std::optional<Error> failure;

private:
    std::string name_;
};

// A complete agent platform over fakes, virtual time and a temporary folder. The bundle is laid
// out in the folder with the given Info.json. Every WebSocket session and workspace the agent
// makes is kept, newest last.
class FakePlatform {
public:
    explicit FakePlatform(const std::string& infoJson = R"({"CFBundleIdentifier":"app.brenmoor.tessary",)"
                                                        R"("CFBundleShortVersionString":"1.2.0","CFBundleVersion":"42"})");
    // Drops the requests never answered: their completions hold the agent, which holds this transport.
    ~FakePlatform();

    AgentPlatform platform();

    TemporaryFolder folder;
    Paths paths;
    // Where the agent keeps the last rules, a real file in the temporary HOME.
    std::filesystem::path keptRulesFile() const { return paths.dataHome / "app.brenmoor.tessary" / "rules.json"; }
    std::filesystem::path bundlePath;
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<MemorySecureStore> secureStore = std::make_shared<MemorySecureStore>();
    std::shared_ptr<MemoryUserDefaults> userDefaults = std::make_shared<MemoryUserDefaults>();
    std::shared_ptr<FakeInstanceLock> instanceLock = std::make_shared<FakeInstanceLock>();
    std::shared_ptr<FakeHostFacts> hostFacts = std::make_shared<FakeHostFacts>();
    std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
    std::shared_ptr<FakeBrowserPolicy> browserPolicy = std::make_shared<FakeBrowserPolicy>();
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    // The real keep-alive unit and Chrome manifest files, in the temporary folder.
    std::shared_ptr<SystemdKeepAliveUnit> keepAliveUnit = std::make_shared<SystemdKeepAliveUnit>(paths);
    std::shared_ptr<HostManifestFile> chromeManifest =
        HostManifestFile::chrome(paths, NativeMessagingHost::kChromeHostName);
    // Chromium, Brave, Microsoft Edge and Vivaldi, none of them present until a test says so.
    std::vector<std::shared_ptr<FakeBrowserHostManifest>> otherBrowserManifests{
        std::make_shared<FakeBrowserHostManifest>("Chromium"), std::make_shared<FakeBrowserHostManifest>("Brave"),
        std::make_shared<FakeBrowserHostManifest>("Microsoft Edge"),
        std::make_shared<FakeBrowserHostManifest>("Vivaldi")};
    std::shared_ptr<FakeBrowserHostManifest> firefoxManifest = std::make_shared<FakeBrowserHostManifest>("Firefox");
    std::shared_ptr<FakeServiceManager> serviceManager = std::make_shared<FakeServiceManager>();
    LaunchOrigin launchOrigin = LaunchOrigin::person;
    std::shared_ptr<FakeInstalledProgram> installedProgram = std::make_shared<FakeInstalledProgram>();
    std::shared_ptr<FakeAdminCheck> adminCheck = std::make_shared<FakeAdminCheck>();
    std::shared_ptr<FakeServiceWatchdog> serviceWatchdog = std::make_shared<FakeServiceWatchdog>();
    std::shared_ptr<ScriptedHttpTransport> http = std::make_shared<ScriptedHttpTransport>();
    std::shared_ptr<FakeNotificationListener> notificationListener =
        std::make_shared<FakeNotificationListener>(mainQueue);
    std::vector<std::shared_ptr<FakeWebSocketSession>> webSocketSessions;
    std::vector<std::shared_ptr<FakeWorkspace>> workspaces;
    // What each new workspace finds running when it is made.
    std::vector<std::shared_ptr<RunningApplication>> alreadyRunning;
    int terminateRequests = 0;
    int exitStatus = -1;
    int showRunningInstanceRequests = 0;
};

}  // namespace tessary::testing
