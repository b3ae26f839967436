// Time from a "rules_updated" frame being received (10,000 blocked sites, 1,000 blocked apps) to
// the delegate call on the main queue: the frame is handled on a thread of its own, as the
// channel's io thread does, and the main queue is drained as soon as the call is posted.
//   channel_rules_delivery [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "agent/service/WebSocketClient.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/ManualMainQueue.h"

using namespace tessary;
using SteadyClock = std::chrono::steady_clock;

namespace {

class TimingDelegate final : public WebSocketClientDelegate {
public:
    void webSocketDidReceiveRules(const RulesPayload& rules) override
    {
        arrived = SteadyClock::now();
        sites = rules.blockedSites.size();
    }
    void webSocketDidGrantAccess(const std::string&, std::optional<std::int64_t>) override {}
    void webSocketDidDenyAccess(const std::string&) override {}
    void webSocketDeviceDeauthorized() override {}
    void webSocketDidConnect() override {}

    SteadyClock::time_point arrived;
    std::size_t sites = 0;
};

std::string rulesFrame()
{
    nlohmann::json sites = nlohmann::json::array();
    for (int i = 0; i < 10000; ++i)
        sites.push_back("site-" + std::to_string(i) + ".example.com");
    nlohmann::json apps = nlohmann::json::array();
    for (int i = 0; i < 1000; ++i)
        apps.push_back("org.example.application" + std::to_string(i));
    const nlohmann::json payload = {{"mode", "allow"},         {"blockedSites", sites},
                                    {"blockedApps", apps},      {"approvedSites", nlohmann::json::array()},
                                    {"approvedApps", nlohmann::json::array()}, {"grants", nlohmann::json::array()}};
    return nlohmann::json{{"type", "rules_updated"}, {"payload", payload}}.dump();
}

}  // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    auto queue = std::make_shared<testing::ManualMainQueue>();
    auto delegate = std::make_shared<TimingDelegate>();
    auto client = std::make_shared<WebSocketClient>("wss://127.0.0.1/ws/device", "device-1", "token", nullptr, queue,
                                                    std::make_shared<MemoryLogSink>());
    client->setDelegate(delegate);
    const auto frame = rulesFrame();

    std::vector<double> milliseconds;
    for (int run = 0; run < runs; ++run) {
        const auto received = SteadyClock::now();
        std::thread io([&] { client->handleMessage(frame); });
        while (!queue->waitForPosted(std::chrono::seconds(10))) {
        }
        queue->runUntilIdle();
        io.join();
        queue->runUntilIdle();
        if (delegate->sites != 10000) {
            std::fprintf(stderr, "the rules did not arrive\n");
            return 1;
        }
        milliseconds.push_back(std::chrono::duration<double, std::milli>(delegate->arrived - received).count());
        delegate->sites = 0;
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("rules_updated (%zu bytes, 10000 sites, 1000 apps), frame received to delegate call, %d runs:\n",
                frame.size(), runs);
    std::printf("  median %.2f ms, worst %.2f ms\n", milliseconds[milliseconds.size() / 2], milliseconds.back());
    return 0;
}
