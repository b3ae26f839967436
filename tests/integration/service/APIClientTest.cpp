#include <gtest/gtest.h>

#include "agent/service/APIClient.h"
#include "tests/support/MemoryLogSink.h"
#include "platform/linux/BeastHttpTransport.h"
#include "tests/integration/service/StandInService.h"
#include "tests/support/FakePlatform.h"

namespace tessary {
namespace {

using testing::ManualMainQueue;
using testing::StandInService;
using testing::TemporaryFolder;

// 25 user-perceived characters of mixed kinds: plain letters, letters with combining marks,
// emoji with modifiers, a family sequence and a flag. Ten of them make 250 characters.
const std::vector<std::string> kClusters = {
    "a", "e\u0301", "\U0001F44D\U0001F3FD", "\U0001F468\u200D\U0001F469\u200D\U0001F467", "\U0001F1E9\U0001F1EA",
    "n\u0303\u0323", "\u00e9", "z", "\u0915\u093f", "\U0001F600",
    "o\u0308", "1", " ", "\u4e2d", "\U0001F3F3\uFE0F\u200D\U0001F308",
    "q", "u\u0301\u0302", "\u00df", "-", "\U0001F9D1\U0001F3FF\u200D\U0001F4BB",
    "x", "\u0627", "y", "\u2764\uFE0F", "!"};

std::string clusters(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += kClusters[i % kClusters.size()];
    return text;
}

class APIClientTest : public ::testing::Test {
protected:
    APIClientTest() { writeInfo(R"({"CFBundleShortVersionString":"1.4.0","CFBundleVersion":"42"})"); }

    void writeInfo(const std::string& info)
    {
        TemporaryFolder::writeFile(bundleFolder.path() / "Contents" / "Info.json", info);
        bundle = std::make_shared<MainBundle>(bundleFolder.path(), bundleFolder.path() / "Contents/bin/PellixApp");
        client = makeClient(std::make_shared<BeastHttpTransport>(stand.caFile()), stand.baseURL());
    }

    std::unique_ptr<APIClient> makeClient(std::shared_ptr<HttpTransport> transport, const std::string& baseURL)
    {
        return std::make_unique<APIClient>(ServiceEndpoint::fromBaseURL(baseURL).value(), std::move(transport), queue,
                                           logSink, bundle, hostFacts);
    }

    template <typename T, typename Operation>
    APIResult<T> await(Operation operation)
    {
        std::optional<APIResult<T>> result;
        operation([&result](APIResult<T> outcome) { result.emplace(std::move(outcome)); });
        EXPECT_TRUE(queue->runUntil([&result] { return result.has_value(); }));
        return result.value_or(APIResult<T>(APIFailure::transport(Error{"no reply"})));
    }

    APIResult<HeartbeatResponse> heartbeat()
    {
        return await<HeartbeatResponse>([this](auto done) { client->heartbeat(std::move(done)); });
    }

    nlohmann::json lastRequest() { return stand.service().requests().back(); }

    void script(const std::string& method, const std::string& path, int status, const std::string& body)
    {
        stand.service().scriptReply(method, path, server::HttpAnswer{status, "application/json", body});
    }

    StandInService stand;
    TemporaryFolder bundleFolder;
    std::shared_ptr<ManualMainQueue> queue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<MemoryLogSink> logSink = std::make_shared<MemoryLogSink>();
    std::shared_ptr<testing::FakeHostFacts> hostFacts = std::make_shared<testing::FakeHostFacts>();
    std::shared_ptr<MainBundle> bundle;
    std::unique_ptr<APIClient> client;
};

TEST_F(APIClientTest, HeartbeatCarriesCredentialsVersionsAndTheFirst200CharactersOfTheLastError)
{
    const auto device = stand.pairDevice();
    client->setDeviceId(device.deviceId);
    client->setToken(device.token);
    client->setLastError(clusters(250));

    const auto reply = heartbeat();
    ASSERT_TRUE(reply) << reply.error().description;
    EXPECT_TRUE(reply.value().ok);
    EXPECT_FALSE(reply.value().updateAvailable);

    const auto headers = lastRequest()["headers"];
    EXPECT_EQ(headers["Content-Type"], "application/json");
    EXPECT_EQ(headers["X-Device-Id"], device.deviceId);
    EXPECT_EQ(headers["Authorization"], "Bearer " + device.token);
    EXPECT_EQ(headers["X-App-Version"], "1.4.0");
    EXPECT_EQ(headers["X-App-Build"], "42");
    EXPECT_EQ(headers["X-App-Error"], clusters(200));
    EXPECT_EQ(lastRequest()["body"], "");
}

TEST_F(APIClientTest, StoredTextNeverBreaksAHeaderLine)
{
    client->setDeviceId("device-1\r\nX-Injected: yes");
    client->setToken("tok\nen\x01");
    client->setLastError("Timed out\r\nX-Injected: yes\x7f\u0085");

    (void)heartbeat();
    const auto headers = lastRequest()["headers"];
    EXPECT_FALSE(headers.contains("X-Injected"));
    EXPECT_EQ(headers["X-Device-Id"], "device-1X-Injected: yes");
    EXPECT_EQ(headers["Authorization"], "Bearer token");
    EXPECT_EQ(headers["X-App-Error"], "Timed outX-Injected: yes");
}

TEST_F(APIClientTest, EmptyValuesAreStillSent)
{
    client->setDeviceId("");
    client->setLastError("");
    (void)heartbeat();
    const auto headers = lastRequest()["headers"];
    EXPECT_EQ(headers.value("X-Device-Id", "<absent>"), "");
    EXPECT_EQ(headers.value("X-App-Error", "<absent>"), "");
}

TEST_F(APIClientTest, StatusCodesOutside2xxFailWithThatStatus)
{
    const auto device = stand.pairDevice();
    client->setDeviceId(device.deviceId);
    client->setToken(device.token);

    script("GET", "/api/device/rules", 204, "");
    const auto empty = await<std::string>([this](auto done) { client->fetchRules(std::move(done)); });
    ASSERT_TRUE(empty) << empty.error().description;
    EXPECT_EQ(empty.value(), "");

    script("GET", "/api/device/rules", 404, "<html>missing</html>");
    const auto missing = await<std::string>([this](auto done) { client->fetchRules(std::move(done)); });
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, APIFailure::Kind::requestFailed);
    EXPECT_EQ(missing.error().apiError->statusCode, 404);
    EXPECT_FALSE(missing.error().isDeauthorization());

    script("POST", "/api/heartbeat", 401, "");
    const auto rejected = heartbeat();
    ASSERT_FALSE(rejected);
    EXPECT_TRUE(rejected.error().isDeauthorization());

    script("POST", "/api/use-setup-code", 500, R"({"success":true,"familyId":"f","token":"t"})");
    const auto broken =
        await<UseSetupCodeResponse>([this](auto done) { client->useSetupCode("123456", "device-1", std::move(done)); });
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().apiError->statusCode, 500);
    EXPECT_EQ(broken.error().description, APIError::requestFailed(500).description());
    EXPECT_TRUE(logSink->contains("useSetupCode: calling POST /api/use-setup-code"));
    EXPECT_TRUE(logSink->contains("useSetupCode: response status 500"));
}

TEST_F(APIClientTest, FetchRulesReturnsTheBodyUndecoded)
{
    const auto device = stand.pairDevice();
    client->setDeviceId(device.deviceId);
    client->setToken(device.token);
    const auto rules = await<std::string>([this](auto done) { client->fetchRules(std::move(done)); });
    ASSERT_TRUE(rules) << rules.error().description;
    EXPECT_EQ(nlohmann::json::parse(rules.value())["mode"], "allow");
    const auto headers = lastRequest()["headers"];
    EXPECT_EQ(headers["X-Device-Id"], device.deviceId);
    EXPECT_FALSE(headers.contains("X-App-Version"));
}

TEST_F(APIClientTest, PairingSendsTheFourFieldsAndDecodesTheReply)
{
    const auto code = stand.service().issueSetupCode()["setupCode"].get<std::string>();
    hostFacts->name.reset();
    const auto paired =
        await<UseSetupCodeResponse>([&](auto done) { client->useSetupCode(code, "device-7", std::move(done)); });
    ASSERT_TRUE(paired) << paired.error().description;
    EXPECT_FALSE(paired.value().token.empty());
    const auto request = lastRequest();
    EXPECT_FALSE(request["headers"].contains("Authorization"));
    EXPECT_FALSE(request["headers"].contains("X-Device-Id"));
    EXPECT_EQ(nlohmann::json::parse(request["body"].get<std::string>()),
              (nlohmann::json{{"setupCode", code}, {"deviceId", "device-7"}, {"deviceName", "Mac"}, {"macUsername", "child"}}));
    EXPECT_TRUE(logSink->contains("useSetupCode: response status 200"));
}

TEST_F(APIClientTest, UpdateCheckComparesBuildsAsPlainText)
{
    struct Row {
        const char* name;
        const char* info;
        const char* remote;
        bool offered;
    };
    const Row rows[] = {
        {"older build", R"({"CFBundleVersion":"42"})", "43", true},
        {"same build", R"({"CFBundleVersion":"43"})", "43", false},
        {"newer build", R"({"CFBundleVersion":"44"})", "43", false},
        {"9 sorts after 10", R"({"CFBundleVersion":"9"})", "10", false},
        {"100 sorts before 99", R"({"CFBundleVersion":"100"})", "99", true},
        {"no local build compares 0", R"({"CFBundleShortVersionString":"1.0"})", "1", true},
        {"build not text compares 0", R"({"CFBundleVersion":7})", "0", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeInfo(row.info);
        stand.service().setRelease("2.0.0", row.remote);
        const auto update = await<std::optional<std::string>>([this](auto done) { client->checkForUpdate(std::move(done)); });
        ASSERT_TRUE(update) << update.error().description;
        if (row.offered)
            EXPECT_EQ(update.value(), stand.baseURL() + "/releases/Tessary.pkg");
        else
            EXPECT_FALSE(update.value().has_value());
    }
    EXPECT_TRUE(logSink->contains("Update check — local build: 100, remote build: 99"));
    EXPECT_TRUE(logSink->contains("Update check — local build: 0, remote build: 1"));
}

TEST_F(APIClientTest, MissingBuildSendsUnknownInTheHeartbeat)
{
    writeInfo("{}");
    (void)heartbeat();
    EXPECT_EQ(lastRequest()["headers"]["X-App-Build"], "unknown");
    EXPECT_EQ(lastRequest()["headers"]["X-App-Version"], "unknown");
}

TEST_F(APIClientTest, UpdateCheckDecodesWhateverArrivesWhateverTheStatus)
{
    script("GET", "/releases/version.json", 404, "<html>Not Found</html>");
    const auto page = await<std::optional<std::string>>([this](auto done) { client->checkForUpdate(std::move(done)); });
    ASSERT_FALSE(page);
    EXPECT_EQ(page.error().kind, APIFailure::Kind::decoding);

    script("GET", "/releases/version.json", 404, R"({"version":"9.9","build":"99"})");
    const auto descriptor =
        await<std::optional<std::string>>([this](auto done) { client->checkForUpdate(std::move(done)); });
    ASSERT_TRUE(descriptor) << descriptor.error().description;
    EXPECT_TRUE(descriptor.value().has_value());
}

TEST_F(APIClientTest, UntrustedOrMisnamedServicesAreTransportErrors)
{
    auto untrusting = makeClient(std::make_shared<BeastHttpTransport>(), stand.baseURL());
    std::optional<APIResult<std::optional<std::string>>> untrusted;
    untrusting->checkForUpdate([&untrusted](auto result) { untrusted.emplace(std::move(result)); });
    ASSERT_TRUE(queue->runUntil([&untrusted] { return untrusted.has_value(); }));
    ASSERT_FALSE(*untrusted);
    EXPECT_EQ(untrusted->error().kind, APIFailure::Kind::transport);

    StandInService misnamed({"service.example"});
    auto checking = makeClient(std::make_shared<BeastHttpTransport>(misnamed.caFile()), misnamed.baseURL());
    std::optional<APIResult<std::optional<std::string>>> wrongName;
    checking->checkForUpdate([&wrongName](auto result) { wrongName.emplace(std::move(result)); });
    ASSERT_TRUE(queue->runUntil([&wrongName] { return wrongName.has_value(); }));
    ASSERT_FALSE(*wrongName);
    EXPECT_EQ(wrongName->error().kind, APIFailure::Kind::transport);
    EXPECT_TRUE(misnamed.service().requests().empty());
}

}  // namespace
}  // namespace tessary
