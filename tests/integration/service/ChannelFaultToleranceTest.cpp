#include <filesystem>

#include <gtest/gtest.h>

#include "agent/service/WebSocketClient.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/BeastWebSocketSession.h"
#include "tests/integration/service/RecordingChannelDelegate.h"
#include "tests/integration/service/StandInService.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;

std::size_t entries(const char* folder)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

// The service dies and comes back twenty times under a connected client: every loss is
// followed by a reconnect after 5 s of virtual time, and nothing accumulates in the process.
TEST(ChannelFaultToleranceTest, ServiceKilledAndRestartedTwentyTimes)
{
    testing::StandInService stand;
    const auto device = stand.pairDevice();
    auto queue = std::make_shared<testing::ManualMainQueue>();
    auto logSink = std::make_shared<MemoryLogSink>();
    auto delegate = std::make_shared<testing::RecordingChannelDelegate>();
    auto client = std::make_shared<WebSocketClient>(stand.wsURL(), device.deviceId, device.token,
                                                    std::make_shared<BeastWebSocketSession>(stand.caFile()), queue,
                                                    logSink);
    client->setDelegate(delegate);
    const auto statuses = [&] { return stand.service().devices()[device.deviceId]["statuses"].size(); };

    client->connect();
    ASSERT_TRUE(queue->runUntil([&] { return statuses() == 1; }));

    std::size_t threads = 0;
    std::size_t descriptors = 0;
    for (std::size_t round = 1; round <= 20; ++round) {
        SCOPED_TRACE(round);
        stand.stop();
        ASSERT_TRUE(queue->runUntil([&] { return queue->pendingTimers() == 1; }));
        EXPECT_EQ(client->reconnectAttempt(), 1);
        stand.start(stand.port());
        queue->advance(4999ms);
        EXPECT_EQ(statuses(), round);
        queue->advance(1ms);
        ASSERT_TRUE(queue->runUntil([&] { return statuses() == round + 1; }));
        EXPECT_EQ(client->reconnectAttempt(), 0);

        if (round == 2) {
            threads = entries("/proc/self/task");
            descriptors = entries("/proc/self/fd");
        } else if (round > 2) {
            EXPECT_LE(entries("/proc/self/task"), threads);
            EXPECT_LE(entries("/proc/self/fd"), descriptors);
        }
    }
    EXPECT_EQ(logSink->count("WebSocket reconnecting in 5.000000s (attempt 1)..."), 20u);
    EXPECT_EQ(delegate->deauthorizations, 0);
    client->disconnect();
}

}  // namespace
}  // namespace tessary
