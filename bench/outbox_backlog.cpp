// A backlog in the channel's outbox delivered after reconnecting: the client queues this many visits
// while it has no connection, then connects over TLS to the stand-in service (in this process, so
// each frame's arrival is stamped on the thread that reads it). Prints the time from connect to the
// last frame's arrival and from the channel's open to it; asserts nothing.
//   outbox_backlog [messages]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/service/Outbox.h"
#include "agent/service/WebSocketClient.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/BeastWebSocketSession.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"
#include "server/service/ServerCertificates.h"
#include "server/service/HttpsServer.h"
#include "server/service/FamilyService.h"

using namespace tessary;
using namespace tessary::testing;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr double kTargetMs = 2000.0;
constexpr auto kDeliveryLimit = std::chrono::seconds(60);

// Counts the activity frames that reach the service and stamps the status and the last of them.
class Arrivals {
public:
    explicit Arrivals(std::size_t expected) : expected_(expected) {}

    void record(const std::string& text)
    {
        const auto now = SteadyClock::now();
        const auto message = nlohmann::json::parse(text, nullptr, false);
        const std::lock_guard lock(mutex_);
        if (message.value("type", "") == "status")
            opened_ = now;
        if (message.value("type", "") == "activity" && ++count_ == expected_)
            last_ = now;
    }

    bool complete() const
    {
        const std::lock_guard lock(mutex_);
        return count_ >= expected_;
    }
    SteadyClock::time_point opened() const
    {
        const std::lock_guard lock(mutex_);
        return opened_;
    }
    SteadyClock::time_point last() const
    {
        const std::lock_guard lock(mutex_);
        return last_;
    }
    std::size_t count() const
    {
        const std::lock_guard lock(mutex_);
        return count_;
    }

private:
    const std::size_t expected_;
    mutable std::mutex mutex_;
    std::size_t count_ = 0;
    SteadyClock::time_point opened_;
    SteadyClock::time_point last_;
};

}  // namespace

int main(int argc, char* argv[])
{
    const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;

    TemporaryFolder folder;
    auto certificates = server::ServerCertificates::loadOrCreate(folder.path() / "service", {"127.0.0.1"});
    if (!certificates) {
        std::fprintf(stderr, "no certificates: %s\n", certificates.error().description.c_str());
        return 1;
    }
    auto service = std::make_shared<server::FamilyService>();
    Arrivals arrivals(static_cast<std::size_t>(messages));
    service->setFrameObserver([&arrivals](const std::string&, const std::string& text) { arrivals.record(text); });
    server::HttpsServer server(service, certificates.value());
    const auto port = server.start();
    if (!port) {
        std::fprintf(stderr, "the stand-in service did not start: %s\n", port.error().description.c_str());
        return 1;
    }
    const std::string deviceId = "device-outbox-bench";
    const auto code = service->issueSetupCode()["setupCode"].get<std::string>();
    const auto pairing = service->handle(server::HttpQuery{
        "POST", "/api/use-setup-code", {},
        nlohmann::json{{"setupCode", code}, {"deviceId", deviceId}, {"deviceName", "bench"}, {"macUsername", "bench"}}
            .dump()});
    if (pairing.status != 200) {
        std::fprintf(stderr, "pairing failed: %d %s\n", pairing.status, pairing.body.c_str());
        return 1;
    }
    const auto token = nlohmann::json::parse(pairing.body).at("token").get<std::string>();

    auto queue = std::make_shared<ManualMainQueue>();
    auto log = std::make_shared<MemoryLogSink>();
    auto outbox = std::make_shared<Outbox>(folder.path() / "outbox.sqlite3", std::make_shared<SystemClock>(),
                                           Logger(log, "app.brenmoor.tessary", "app"), [](const std::string&) {});
    auto client = std::make_shared<WebSocketClient>(
        "wss://127.0.0.1:" + std::to_string(port.value()) + "/ws/device", deviceId, token,
        std::make_shared<BeastWebSocketSession>(certificates.value().caFile), queue, log, outbox);

    const auto queueing = SteadyClock::now();
    for (int n = 0; n < messages; ++n)
        client->sendActivity({nlohmann::json{
            {"type", "site_visit"}, {"url", "https://site-" + std::to_string(n) + ".example.org/page"}, {"ts", n}}});
    const auto queued = SteadyClock::now();

    const auto connecting = SteadyClock::now();
    client->connect();
    const auto deadline = connecting + kDeliveryLimit;
    while (!arrivals.complete() && SteadyClock::now() < deadline) {
        static_cast<void>(queue->waitForPosted(std::chrono::milliseconds(50)));
        queue->runUntilIdle();
    }
    // The last removals from the outbox follow the last arrival.
    while (outbox->size() > 0 && SteadyClock::now() < deadline) {
        static_cast<void>(queue->waitForPosted(std::chrono::milliseconds(50)));
        queue->runUntilIdle();
    }
    client->disconnect();
    if (!arrivals.complete()) {
        std::fprintf(stderr, "only %zu of %d messages arrived\n", arrivals.count(), messages);
        for (const auto& line : log->messages())
            std::fprintf(stderr, "%s\n", line.c_str());
        return 1;
    }
    const auto ms = [](auto from, auto to) { return std::chrono::duration<double, std::milli>(to - from).count(); };
    std::printf("outbox backlog of %d visits:\n", messages);
    std::printf("  queued while offline in %.1f ms (%.1f us each)\n", ms(queueing, queued),
                ms(queueing, queued) * 1000.0 / messages);
    std::printf("  connect to last arrival %.1f ms (target <= %.0f ms)\n", ms(connecting, arrivals.last()), kTargetMs);
    std::printf("  channel open (status) to last arrival %.1f ms\n", ms(arrivals.opened(), arrivals.last()));
    std::printf("  outbox empty %s\n", outbox->size() == 0 ? "yes" : "no");
    return 0;
}
