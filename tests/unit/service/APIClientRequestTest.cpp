#include <gtest/gtest.h>

#include "agent/service/APIClient.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Keeps each request exactly as the client built it, before any HTTP library sees it.
class RecordingTransport final : public HttpTransport {
public:
    void send(HttpRequest request, Completion completion) override
    {
        requests.push_back(std::move(request));
        completion(HttpReply{200, R"({"ok":true,"updateAvailable":false})"});
    }
    std::vector<HttpRequest> requests;
};

class APIClientRequestTest : public ::testing::Test {
protected:
    static std::shared_ptr<MainBundle> bundleIn(const testing::TemporaryFolder& folder)
    {
        testing::TemporaryFolder::writeFile(folder.path() / "Contents/Info.json",
                                            R"({"CFBundleShortVersionString":"1.4.0","CFBundleVersion":"42"})");
        return std::make_shared<MainBundle>(folder.path(), folder.path() / "Contents/bin/PellixApp");
    }

    testing::TemporaryFolder folder;
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<testing::ManualMainQueue> queue = std::make_shared<testing::ManualMainQueue>();
    APIClient client{ServiceEndpoint::fromBaseURL("https://api.example:8443").value(),
                     transport,
                     queue,
                     std::make_shared<MemoryLogSink>(),
                     bundleIn(folder),
                     std::make_shared<testing::FakeHostFacts>()};
};

TEST_F(APIClientRequestTest, HeartbeatHeadersInOrderWithAndWithoutCredentials)
{
    client.heartbeat([](auto) {});
    client.setDeviceId("device-1");
    client.setToken("secret");
    client.setLastError("offline");
    client.heartbeat([](auto) {});

    ASSERT_EQ(transport->requests.size(), 2u);
    const auto& bare = transport->requests[0];
    EXPECT_EQ(bare.method, "POST");
    EXPECT_EQ(bare.url, "https://api.example:8443/api/heartbeat");
    EXPECT_FALSE(bare.body.has_value());
    EXPECT_EQ(bare.timeout, std::chrono::seconds(60));
    EXPECT_EQ(bare.headers, (Headers{{"Content-Type", "application/json"},
                                     {"Authorization", "Bearer "},
                                     {"X-App-Version", "1.4.0"},
                                     {"X-App-Build", "42"}}));
    EXPECT_EQ(transport->requests[1].headers, (Headers{{"Content-Type", "application/json"},
                                                       {"X-Device-Id", "device-1"},
                                                       {"Authorization", "Bearer secret"},
                                                       {"X-App-Version", "1.4.0"},
                                                       {"X-App-Build", "42"},
                                                       {"X-App-Error", "offline"}}));
    EXPECT_EQ(queue->runUntilIdle(), 2u);
}

TEST_F(APIClientRequestTest, RulesPairingAndUpdateCheckRequests)
{
    client.setToken("secret");
    client.fetchRules([](auto) {});
    client.useSetupCode("123456", "device-1", [](auto) {});
    client.checkForUpdate([](auto) {});

    ASSERT_EQ(transport->requests.size(), 3u);
    const auto& rules = transport->requests[0];
    EXPECT_EQ(rules.method, "GET");
    EXPECT_EQ(rules.url, "https://api.example:8443/api/device/rules");
    EXPECT_EQ(rules.headers, (Headers{{"Content-Type", "application/json"}, {"Authorization", "Bearer secret"}}));

    const auto& pairing = transport->requests[1];
    EXPECT_EQ(pairing.url, "https://api.example:8443/api/use-setup-code");
    EXPECT_EQ(pairing.headers, (Headers{{"Content-Type", "application/json"}}));
    EXPECT_EQ(pairing.timeout, std::chrono::seconds(60));

    const auto& update = transport->requests[2];
    EXPECT_EQ(update.method, "GET");
    EXPECT_EQ(update.url, "https://api.example:8443/releases/version.json");
    EXPECT_TRUE(update.headers.empty());
    EXPECT_FALSE(update.timeout.has_value());
}

TEST_F(APIClientRequestTest, PairingBodyThatCannotBeEncodedIsNeverSent)
{
    std::optional<APIResult<UseSetupCodeResponse>> result;
    client.useSetupCode("12\xff" "456", "device-1", [&result](auto outcome) { result.emplace(std::move(outcome)); });
    queue->runUntilIdle();
    EXPECT_TRUE(transport->requests.empty());
    ASSERT_TRUE(result.has_value());
    ASSERT_FALSE(*result);
    EXPECT_EQ(result->error().kind, APIFailure::Kind::encoding);
}

}  // namespace
}  // namespace tessary
