#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/core/AgentPlatform.h"
#include "platform/MemoryLogSink.h"
#include "tests/support/FakeNotificationListener.h"
#include "tests/support/FakeWebSocketSession.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/ScriptedHttpTransport.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary::testing {

class MemorySecureStore final : public SecureStore {
public:
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
};

class MemoryUserDefaults final : public UserDefaults {
public:
    bool boolForKey(const std::string& key) override { return values[key]; }
    void setBool(const std::string& key, bool value) override { values[key] = value; }
    std::map<std::string, bool> values;
};

class FakeInstanceLock final : public InstanceLock {
public:
    bool tryAcquire() override { return available; }
    bool available = true;
};

class FakeHostFacts final : public HostFacts {
public:
    std::optional<std::string> computerName() override { return name; }
    std::string userName() override { return user; }
    std::optional<std::string> name = "Test Computer";
    std::string user = "child";
};

class RecordingLauncher final : public Launcher {
public:
    void open(const std::string& urlOrPath) override { opened.push_back(urlOrPath); }
    std::vector<std::string> opened;
};

class FakeLoginItem final : public LoginItem {
public:
    std::optional<Error> registerAgent() override
    {
        ++registrations;
        return failure;
    }
    int registrations = 0;
    std::optional<Error> failure;
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
    void writeProfileResource();

    TemporaryFolder folder;
    Paths paths;
    std::filesystem::path bundlePath;
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<MemorySecureStore> secureStore = std::make_shared<MemorySecureStore>();
    std::shared_ptr<MemoryUserDefaults> userDefaults = std::make_shared<MemoryUserDefaults>();
    std::shared_ptr<FakeInstanceLock> instanceLock = std::make_shared<FakeInstanceLock>();
    std::shared_ptr<FakeHostFacts> hostFacts = std::make_shared<FakeHostFacts>();
    std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    std::shared_ptr<FakeAdminCheck> adminCheck = std::make_shared<FakeAdminCheck>();
    std::shared_ptr<ScriptedHttpTransport> http = std::make_shared<ScriptedHttpTransport>();
    std::shared_ptr<FakeNotificationListener> notificationListener =
        std::make_shared<FakeNotificationListener>(mainQueue);
    std::vector<std::shared_ptr<FakeWebSocketSession>> webSocketSessions;
    std::vector<std::shared_ptr<FakeWorkspace>> workspaces;
    int terminateRequests = 0;
    int showRunningInstanceRequests = 0;
};

}  // namespace tessary::testing
