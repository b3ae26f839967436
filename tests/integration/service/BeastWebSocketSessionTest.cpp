#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/BeastWebSocketSession.h"
#include "platform/linux/ScopedFd.h"
#include "tests/integration/service/StandInService.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;
using testing::waitUntil;
using Timing = BeastWebSocketSession::Timing;

constexpr std::size_t kMaximumIncomingMessage = 4 * 1024 * 1024;

// What one connection reported, on the session's thread.
class RecordingObserver final : public WebSocketObserver {
public:
    struct Failure {
        std::string error;
        std::optional<int> upgradeStatus;
    };
    struct Reports {
        int opens = 0;
        std::vector<std::string> texts;
        std::vector<Failure> failures;
        std::vector<int> closes;
    };

    void webSocketDidOpen() override { update([](Reports& reports) { ++reports.opens; }); }
    void webSocketDidReceiveText(std::string text) override
    {
        update([&text](Reports& reports) { reports.texts.push_back(std::move(text)); });
    }
    void webSocketDidReceiveData() override {}
    void webSocketReceiveDidFail(const Error& error, std::optional<int> upgradeStatus) override
    {
        update([&](Reports& reports) { reports.failures.push_back({error.description, upgradeStatus}); });
    }
    void webSocketDidClose(int code) override
    {
        update([code](Reports& reports) { reports.closes.push_back(code); });
    }

    Reports reports() const
    {
        const std::lock_guard lock(mutex_);
        return reports_;
    }
    bool ended() const
    {
        const auto now = reports();
        return !now.failures.empty() || !now.closes.empty();
    }
    bool opened() const { return reports().opens > 0; }

private:
    template <typename Change>
    void update(Change change)
    {
        const std::lock_guard lock(mutex_);
        change(reports_);
    }

    mutable std::mutex mutex_;
    Reports reports_;
};

BeastWebSocketSession::NameLookup fixedLookup(std::vector<std::string> addresses)
{
    return [addresses](const std::string&) -> Expected<std::vector<std::string>> { return addresses; };
}

// A name lookup that hangs until released, like a resolver whose DNS server never answers.
class HangingLookup {
public:
    static BeastWebSocketSession::NameLookup lookup(const std::shared_ptr<HangingLookup>& gate)
    {
        return [gate](const std::string&) -> Expected<std::vector<std::string>> {
            std::unique_lock lock(gate->mutex_);
            ++gate->waiting_;
            gate->changed_.wait(lock, [&] { return gate->released_; });
            return std::vector<std::string>{"127.0.0.1"};
        };
    }
    int waiting() const
    {
        const std::lock_guard lock(mutex_);
        return waiting_;
    }
    void release()
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool released_ = false;
};

// A listener that never accepts and whose queue is already full, so the kernel drops every
// further SYN: a connect to it neither succeeds nor fails, it just waits.
class SilentAddress {
public:
    SilentAddress(const char* address, std::uint16_t port)
    {
        sockaddr_in endpoint{};
        endpoint.sin_family = AF_INET;
        endpoint.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &endpoint.sin_addr);
        const auto* raw = reinterpret_cast<const sockaddr*>(&endpoint);
        ready_ = ::bind(listener_.get(), raw, sizeof endpoint) == 0 && ::listen(listener_.get(), 0) == 0;
        if (!ready_)
            return;
        ::connect(filler_.get(), raw, sizeof endpoint);
        pollfd connected{filler_.get(), POLLOUT, 0};
        ready_ = ::poll(&connected, 1, 10'000) == 1;
    }
    bool ready() const { return ready_; }

private:
    ScopedFd listener_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    ScopedFd filler_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    bool ready_ = false;
};

class BeastWebSocketSessionTest : public ::testing::Test {
protected:
    WebSocketRequest requestFor(const std::string& host = "127.0.0.1", std::optional<std::string> token = std::nullopt)
    {
        return WebSocketRequest{"wss://" + host + ":" + std::to_string(stand.port()) + "/ws/device",
                                {{"X-Device-Id", device.deviceId},
                                 {"Authorization", "Bearer " + token.value_or(device.token)}}};
    }

    server::HttpAnswer admin(const std::string& method, const std::string& path, const std::string& body = "")
    {
        return stand.service().handle(server::HttpQuery{method, path, {}, body});
    }

    std::string devicePath(const std::string& action) { return "/admin/devices/" + device.deviceId + "/" + action; }

    std::uint64_t pingsReceived() { return stand.service().devices()[device.deviceId]["pings"].get<std::uint64_t>(); }

    StandInService stand;
    StandInService::PairedDevice device = stand.pairDevice();
};

TEST_F(BeastWebSocketSessionTest, TlsAndUpgradeRefusalsReachTheObserverWithTheirStatus)
{
    struct Row {
        const char* name;
        bool trustStandInCa;
        std::string host;
        std::optional<int> scriptedStatus;
        bool validToken;
        bool opens;
        std::optional<int> upgradeStatus;
        const char* errorContains;
    };
    const Row rows[] = {
        {"trusted CA and matching name", true, "localhost", std::nullopt, true, true, std::nullopt, ""},
        {"untrusted CA", false, "localhost", std::nullopt, true, false, std::nullopt, "certificate verify failed"},
        {"wrong host name", true, "service.example", std::nullopt, true, false, std::nullopt,
         "certificate verify failed"},
        {"unknown token", true, "localhost", std::nullopt, false, false, 401, ""},
        {"scripted 401", true, "localhost", 401, true, false, 401, ""},
        {"scripted 403", true, "localhost", 403, true, false, 403, ""},
        {"scripted 429", true, "localhost", 429, true, false, 429, ""},
        {"scripted 500", true, "localhost", 500, true, false, 500, ""},
        {"scripted 503", true, "localhost", 503, true, false, 503, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.scriptedStatus) {
            ASSERT_EQ(admin("PUT", "/admin/upgrade", nlohmann::json{{"status", *row.scriptedStatus}}.dump()).status, 200);
        }
        // Every name is looked up as the stand-in's address, so only the certificate decides.
        BeastWebSocketSession session(row.trustStandInCa ? std::optional(stand.caFile()) : std::nullopt, Timing{},
                                      fixedLookup({"127.0.0.1"}));
        auto observer = std::make_shared<RecordingObserver>();
        const auto connection =
            session.open(requestFor(row.host, row.validToken ? std::nullopt : std::optional<std::string>("wrong")),
                         observer);
        ASSERT_TRUE(waitUntil([&] { return observer->opened() || observer->ended(); }, 10s));
        ASSERT_EQ(admin("DELETE", "/admin/upgrade").status, 200);
        const auto reports = observer->reports();
        EXPECT_EQ(reports.opens, row.opens ? 1 : 0);
        if (row.opens)
            continue;
        ASSERT_EQ(reports.failures.size(), 1u);
        EXPECT_EQ(reports.failures[0].upgradeStatus, row.upgradeStatus);
        EXPECT_NE(reports.failures[0].error.find(row.errorContains), std::string::npos) << reports.failures[0].error;
    }
}

TEST_F(BeastWebSocketSessionTest, AddressesAreTriedInOrderEachWithItsOwnTimeLimit)
{
    const SilentAddress silent("127.0.0.2", stand.port());
    ASSERT_TRUE(silent.ready());
    struct Row {
        const char* name;
        BeastWebSocketSession::NameLookup lookup;
        bool opens;
        const char* errorContains;
    };
    const Row rows[] = {
        {"the system's lookup of localhost: IPv6 refused, then IPv4", BeastWebSocketSession::systemNameLookup, true, ""},
        {"silent, then refusing, then the service", fixedLookup({"127.0.0.2", "127.0.0.3", "127.0.0.1"}), true, ""},
        {"every address silent or refusing", fixedLookup({"127.0.0.3", "127.0.0.2"}), false,
         "127.0.0.2: no connection within 300 ms"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BeastWebSocketSession session(stand.caFile(), Timing{30s, 10s, 300ms}, row.lookup);
        auto observer = std::make_shared<RecordingObserver>();
        const auto connection = session.open(requestFor("localhost"), observer);
        ASSERT_TRUE(waitUntil([&] { return observer->opened() || observer->ended(); }, 10s));
        const auto reports = observer->reports();
        EXPECT_EQ(reports.opens, row.opens ? 1 : 0);
        if (!row.opens) {
            ASSERT_EQ(reports.failures.size(), 1u);
            EXPECT_NE(reports.failures[0].error.find(row.errorContains), std::string::npos) << reports.failures[0].error;
        }
    }
}

// A hanging lookup must hold neither a cancel, nor invalidateAndCancel, nor the destructor, and
// when it finally returns the cancelled connections stay silent.
TEST_F(BeastWebSocketSessionTest, HangingLookupHoldsNoCallerAndItsLateAnswerIsIgnored)
{
    auto gate = std::make_shared<HangingLookup>();
    auto session = std::make_unique<BeastWebSocketSession>(stand.caFile(), Timing{}, HangingLookup::lookup(gate));
    auto cancelledAlone = std::make_shared<RecordingObserver>();
    auto cancelledWithSession = std::make_shared<RecordingObserver>();
    auto first = session->open(requestFor(), cancelledAlone);
    auto second = session->open(requestFor(), cancelledWithSession);
    ASSERT_TRUE(waitUntil([&] { return gate->waiting() == 2; }, 10s));

    first->cancel(1000);
    EXPECT_TRUE(waitUntil([&] { return cancelledAlone->ended(); }, 5s));

    // On another thread, so that a call waiting for the lookup shows as a missed deadline, not a hang.
    std::atomic<bool> invalidated{false};
    std::atomic<bool> destroyed{false};
    std::thread caller([&] {
        session->invalidateAndCancel();
        invalidated = true;
        session.reset();
        destroyed = true;
    });
    const bool invalidatedAtOnce = waitUntil([&] { return invalidated.load(); }, 5s);
    const bool destroyedAtOnce = waitUntil([&] { return destroyed.load(); }, 5s);
    gate->release();
    caller.join();
    EXPECT_TRUE(invalidatedAtOnce);
    EXPECT_TRUE(destroyedAtOnce);

    first.reset();
    second.reset();
    // Each lookup thread holds a copy of the lookup until it has handed its answer over.
    ASSERT_TRUE(waitUntil([&] { return gate.use_count() == 1; }, 10s));
    for (const auto* observer : {cancelledAlone.get(), cancelledWithSession.get()}) {
        const auto reports = observer->reports();
        EXPECT_EQ(reports.opens, 0);
        ASSERT_EQ(reports.failures.size(), 1u);
        EXPECT_EQ(reports.failures[0].error, "cancelled");
    }
}

TEST_F(BeastWebSocketSessionTest, StalledChannelIsReportedLostAfterAnUnansweredPing)
{
    BeastWebSocketSession session(stand.caFile(), Timing{300ms, 200ms, 10s});
    auto observer = std::make_shared<RecordingObserver>();
    const auto connection = session.open(requestFor(), observer);
    ASSERT_TRUE(waitUntil([&] { return observer->opened(); }, 10s));

    const auto stalled = admin("POST", devicePath("stall"));
    ASSERT_EQ(stalled.status, 200);
    EXPECT_EQ(nlohmann::json::parse(stalled.body)["channels"], 1);
    ASSERT_TRUE(waitUntil([&] { return observer->ended(); }, 10s));
    const auto reports = observer->reports();
    ASSERT_EQ(reports.failures.size(), 1u);
    EXPECT_EQ(reports.failures[0].error, "No answer to ping within 200 ms");
    EXPECT_EQ(reports.failures[0].upgradeStatus, std::nullopt);
    EXPECT_TRUE(reports.closes.empty());
}

TEST_F(BeastWebSocketSessionTest, HealthyIdleChannelStaysOpenAcrossSeveralPings)
{
    BeastWebSocketSession session(stand.caFile(), Timing{300ms, 200ms, 10s});
    auto observer = std::make_shared<RecordingObserver>();
    const auto connection = session.open(requestFor(), observer);
    ASSERT_TRUE(waitUntil([&] { return observer->opened(); }, 10s));

    ASSERT_TRUE(waitUntil([&] { return pingsReceived() >= 4 || observer->ended(); }, 20s));
    EXPECT_FALSE(observer->ended());
    EXPECT_GE(pingsReceived(), 4u);
}

TEST_F(BeastWebSocketSessionTest, MessagesUpToTheLimitArriveAndALargerOneEndsTheConnection)
{
    BeastWebSocketSession session(stand.caFile());
    auto observer = std::make_shared<RecordingObserver>();
    const auto connection = session.open(requestFor(), observer);
    ASSERT_TRUE(waitUntil([&] { return observer->opened(); }, 10s));

    ASSERT_EQ(admin("POST", devicePath("send"), std::string(kMaximumIncomingMessage, 'a')).status, 200);
    ASSERT_TRUE(waitUntil([&] { return !observer->reports().texts.empty() || observer->ended(); }, 10s));
    ASSERT_EQ(observer->reports().texts.size(), 1u);
    EXPECT_EQ(observer->reports().texts[0].size(), kMaximumIncomingMessage);

    ASSERT_EQ(admin("POST", devicePath("send"), std::string(kMaximumIncomingMessage + 1, 'a')).status, 200);
    ASSERT_TRUE(waitUntil([&] { return observer->ended(); }, 10s));
    const auto reports = observer->reports();
    EXPECT_EQ(reports.texts.size(), 1u);
    ASSERT_EQ(reports.failures.size(), 1u);
    EXPECT_EQ(reports.failures[0].error, "The service sent a message larger than 4 MiB.");
}

}  // namespace
}  // namespace tessary
