#include <csignal>
#include <future>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/linux/CurlHttpTransport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::ChildProcess;

std::string valueAfter(const std::string& line, const std::string& prefix)
{
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string();
}

Expected<HttpReply> request(CurlHttpTransport& transport, HttpRequest request)
{
    std::promise<Expected<HttpReply>> reply;
    auto arrived = reply.get_future();
    transport.send(std::move(request), [&reply](Expected<HttpReply> result) { reply.set_value(std::move(result)); });
    return arrived.get();
}

// The program as a person runs it: one command, its trust written out as PEM, a setup code
// printed, the admin interface answering, and a clean stop on SIGTERM.
TEST(DevServiceProgramTest, StartsServesAndStopsOnSigterm)
{
    testing::TemporaryFolder folder;
    ChildProcess service({std::string(TESSARY_DEVSERVICE_PATH), "--port", "0", "--state", folder.path().string(),
                          "--issue-setup-code"});
    ASSERT_TRUE(service.started());
    const auto listening = service.readLine().value_or("");
    const auto baseURL = valueAfter(service.readLine().value_or(""), "TESSARY_SERVICE_URL=");
    const auto caFile = valueAfter(service.readLine().value_or(""), "TESSARY_CA_FILE=");
    const auto code = valueAfter(service.readLine().value_or(""), "Setup code: ");
    ASSERT_EQ(listening.rfind("Listening on https://127.0.0.1:", 0), 0u) << listening;
    EXPECT_EQ(caFile, (folder.path() / "ca.pem").string());
    EXPECT_EQ(code.size(), 6u);

    CurlHttpTransport transport(caFile);
    const auto paired = request(transport, {"POST", baseURL + "/api/use-setup-code", {{"Content-Type", "application/json"}},
                                            nlohmann::json{{"setupCode", code}, {"deviceId", "device-1"}}.dump(),
                                            std::nullopt});
    ASSERT_TRUE(paired) << paired.error().description;
    EXPECT_EQ(paired.value().status, 200);
    const auto devices = request(transport, {"GET", baseURL + "/admin/devices", {}, std::nullopt, std::nullopt});
    ASSERT_TRUE(devices) << devices.error().description;
    EXPECT_TRUE(nlohmann::json::parse(devices.value().body).contains("device-1"));

    ::kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.readLine().value_or(""), "Stopped");
    EXPECT_EQ(service.wait(), 0);
}

}  // namespace
}  // namespace tessary
