#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/PairedAgentHarness.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/WaitUntil.h"

// The real agent, the real Chrome host and the stand-in service program over TLS: visits made while
// the service is down wait in the agent's outbox and all reach the service once it is back, in
// order and once each, also across a restart of the agent.

namespace tessary {
namespace {

using nlohmann::json;
using testing::PairedAgentHarness;
using testing::waitUntil;

constexpr auto kLimit = std::chrono::seconds(30);
// The channel's back-off (5, 10, 20 s) brings the attempt after the outage within 35 s.
constexpr auto kDeliveryLimit = std::chrono::seconds(120);
constexpr int kVisits = 500;

class OfflineDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!harness.available())
            TESSARY_SKIP_WITHOUT(harness.whyUnavailable());
        harness.pairDevice();
        startAgentOnline();
    }

    void startAgentOnline()
    {
        auto& agent = harness.startAgent();
        ASSERT_TRUE(agent.waitForLine("Monitoring started", kLimit)) << agent.output();
    }

    // Every visited URL the service has recorded since it last started, in order of arrival.
    std::vector<std::string> arrivedUrls()
    {
        std::vector<std::string> urls;
        const auto device = harness.service().device(harness.device().deviceId);
        if (!device.is_object())
            return urls;
        for (const auto& message : device.value("activity", json::array()))
            for (const auto& event : message["payload"].value("events", json::array()))
                if (event.value("type", "") == "site_visit")
                    urls.push_back(event.value("url", ""));
        return urls;
    }

    void visit(int from, int to)
    {
        for (int n = from; n < to; ++n)
            ASSERT_EQ(harness.sendBrowserMessage({{"type", "url_visit"}, {"url", url(n)}, {"timestamp", n}}),
                      (json{{"ok", true}}));
    }

    static std::string url(int n) { return "https://offline-" + std::to_string(n) + ".example/"; }

    static std::vector<std::string> urls(int from, int to)
    {
        std::vector<std::string> result;
        for (int n = from; n < to; ++n)
            result.push_back(url(n));
        return result;
    }

    // The outage lasts until the agent has found the service gone and tried it again in vain: its
    // second reconnection is scheduled only after a failed attempt.
    void outageEnds()
    {
        ASSERT_TRUE(harness.agent().waitForLine("(attempt 2)...", kDeliveryLimit)) << harness.agent().output();
    }

    void expectAllArrivedOnceInOrder()
    {
        ASSERT_TRUE(waitUntil([&] { return arrivedUrls().size() >= kVisits; }, kDeliveryLimit))
            << arrivedUrls().size() << " arrived\n"
            << harness.agent().output();
        EXPECT_EQ(arrivedUrls(), urls(0, kVisits));
    }

    PairedAgentHarness harness;
};

TEST_F(OfflineDeliveryTest, VisitsMadeWhileTheServiceIsStoppedAllArriveOnceInOrderWhenItIsBack)
{
    harness.service().stop();
    visit(0, kVisits);
    outageEnds();
    harness.service().start();
    expectAllArrivedOnceInOrder();
}

TEST_F(OfflineDeliveryTest, VisitsWaitingWhenTheAgentRestartsOfflineAreNotLost)
{
    harness.service().stop();
    visit(0, kVisits / 2);
    // Sent into the outbox: the drain runs at the wake-up each visit posts.
    ASSERT_TRUE(harness.agent().waitForLine("Safari url_visit: " + url(kVisits / 2 - 1), kLimit))
        << harness.agent().output();
    harness.killAgent();
    startAgentOnline();
    visit(kVisits / 2, kVisits);
    outageEnds();
    harness.service().start();
    expectAllArrivedOnceInOrder();
}

}  // namespace
}  // namespace tessary
