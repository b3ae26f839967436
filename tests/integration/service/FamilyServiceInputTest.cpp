#include <gtest/gtest.h>

#include "tests/support/StandInServiceProcess.h"

namespace tessary {
namespace {

using testing::StandInServiceProcess;
using Headers = std::vector<std::pair<std::string, std::string>>;

// The stand-in as its own process, so that a crash shows as a dead process, not a dead test.
TEST(FamilyServiceInputTest, BadInputIsAnswered400AndTheServiceServesOn)
{
    StandInServiceProcess stand(TESSARY_SERVER_PATH);
    const auto device = stand.pairDevice();
    const std::string notUtf8 = "\xC3\x28";
    const Headers credentials = {{"X-Device-Id", device.deviceId}, {"Authorization", "Bearer " + device.token}};
    const Headers upgrade = {{"Connection", "Upgrade"},
                             {"Upgrade", "websocket"},
                             {"Sec-WebSocket-Version", "13"},
                             {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                             {"Authorization", "Bearer " + device.token}};
    const std::string devicePath = "/admin/devices/" + device.deviceId;
    struct Row {
        const char* name;
        const char* method;
        std::string path;
        std::optional<std::string> body;
        Headers headers;
    };
    const Row rows[] = {
        {"pairing without deviceId", "POST", "/api/use-setup-code", R"({"setupCode":"123456"})", {}},
        {"pairing with a numeric code", "POST", "/api/use-setup-code", R"({"setupCode":123456,"deviceId":"d"})", {}},
        {"pairing with a body that is not JSON", "POST", "/api/use-setup-code", "setupCode=123456", {}},
        {"pairing with a body that is not UTF-8", "POST", "/api/use-setup-code",
         R"({"setupCode":")" + notUtf8 + R"(","deviceId":"d"})", {}},
        {"heartbeat with a device id that is not UTF-8", "POST", "/api/heartbeat", "{}",
         {{"X-Device-Id", notUtf8}, {"Authorization", "Bearer " + device.token}}},
        {"rules with a token that is not UTF-8", "GET", "/api/device/rules", std::nullopt,
         {{"X-Device-Id", device.deviceId}, {"Authorization", "Bearer " + notUtf8}}},
        {"upgrade with a header that is not UTF-8", "GET", "/ws/device", std::nullopt,
         [&] {
             auto headers = upgrade;
             headers.emplace_back("X-Device-Id", notUtf8);
             return headers;
         }()},
        {"setup code with a numeric family", "POST", "/admin/setup-codes", R"({"familyId":5})", {}},
        {"setup code with an array body", "POST", "/admin/setup-codes", "[1,2]", {}},
        {"release without build", "PUT", "/admin/release", R"({"version":"1.1.0"})", {}},
        {"release with numbers", "PUT", "/admin/release", R"({"version":1,"build":2})", {}},
        {"reply without status", "PUT", "/admin/replies", R"({"method":"GET","path":"/x"})", {}},
        {"reply with a numeric body", "PUT", "/admin/replies", R"({"method":"GET","path":"/x","status":200,"body":5})",
         {}},
        {"reply with an impossible status", "PUT", "/admin/replies", R"({"method":"GET","path":"/x","status":1000})",
         {}},
        {"upgrade status missing", "PUT", "/admin/upgrade", "{}", {}},
        {"upgrade status as text", "PUT", "/admin/upgrade", R"({"status":"503"})", {}},
        {"upgrade status out of range", "PUT", "/admin/upgrade", R"({"status":101})", {}},
        {"rules that are not JSON", "PUT", devicePath + "/rules", "mode=deny", {}},
        {"rules that are not UTF-8", "PUT", devicePath + "/rules", R"({"mode":")" + notUtf8 + R"("})", {}},
        {"grant without url", "POST", devicePath + "/grant", R"({"expiry":1})", {}},
        {"deny with a numeric url", "POST", devicePath + "/deny", R"({"url":5})", {}},
        {"close with a textual code", "POST", devicePath + "/close", R"({"code":"1000"})", {}},
        {"close with a huge code", "POST", devicePath + "/close", R"({"code":18446744073709551615})", {}},
        {"admin request with a header that is not UTF-8", "GET", "/admin/devices", std::nullopt,
         {{"X-Note", notUtf8}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto reply = stand.call(row.method, row.path, row.body, row.headers);
        EXPECT_EQ(reply.status, 400) << reply.text;
        ASSERT_TRUE(reply.json.is_object()) << reply.text;
        EXPECT_TRUE(reply.json.contains("error") && reply.json["error"].is_string()) << reply.text;
    }

    EXPECT_FALSE(stand.process().hasExited());
    // What was recorded, bytes that are not UTF-8 included, can still be shown.
    const auto requests = stand.call("GET", "/admin/requests");
    EXPECT_EQ(requests.status, 200);
    EXPECT_TRUE(requests.json.is_array());
    EXPECT_EQ(stand.call("POST", "/api/heartbeat", "{}", credentials).status, 200);
    EXPECT_NO_THROW(stand.pairDevice());
}

}  // namespace
}  // namespace tessary
