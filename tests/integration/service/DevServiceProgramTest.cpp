#include <csignal>
#include <future>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/linux/BeastHttpTransport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary {
namespace {

using testing::ChildProcess;

std::string valueAfter(const std::string& line, const std::string& prefix)
{
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string();
}

Expected<HttpReply> request(BeastHttpTransport& transport, HttpRequest request)
{
    std::promise<Expected<HttpReply>> reply;
    auto arrived = reply.get_future();
    transport.send(std::move(request), [&reply](Expected<HttpReply> result) { reply.set_value(std::move(result)); });
    return arrived.get();
}

// The program as a person runs it: one command, its trust written out as PEM, a setup code
// printed, a built package published at the release address, the admin interface answering, and a
// clean stop on SIGTERM.
TEST(DevServiceProgramTest, StartsServesAndStopsOnSigterm)
{
    testing::TemporaryFolder folder;
    const std::string packageBytes("!<arch>\ndebian-binary\0\xff", 23);
    const auto packageFile = folder.path() / "tessary_1.1.0_amd64.deb";
    testing::TemporaryFolder::writeFile(packageFile, packageBytes);
    ChildProcess service({std::string(TESSARY_DEVSERVICE_PATH), "--port", "0", "--state", folder.path().string(),
                          "--issue-setup-code", "--package", packageFile.string()});
    ASSERT_TRUE(service.started());
    const auto listening = service.readLine().value_or("");
    const auto baseURL = valueAfter(service.readLine().value_or(""), "TESSARY_SERVICE_URL=");
    const auto caFile = valueAfter(service.readLine().value_or(""), "TESSARY_CA_FILE=");
    const auto code = valueAfter(service.readLine().value_or(""), "Setup code: ");
    ASSERT_EQ(listening.rfind("Listening on https://127.0.0.1:", 0), 0u) << listening;
    EXPECT_EQ(caFile, (folder.path() / "ca.pem").string());
    EXPECT_EQ(code.size(), 6u);

    BeastHttpTransport transport(caFile);
    const auto paired = request(transport, {"POST", baseURL + "/api/use-setup-code", {{"Content-Type", "application/json"}},
                                            nlohmann::json{{"setupCode", code}, {"deviceId", "device-1"}}.dump(),
                                            std::nullopt});
    ASSERT_TRUE(paired) << paired.error().description;
    EXPECT_EQ(paired.value().status, 200);
    const auto devices = request(transport, {"GET", baseURL + "/admin/devices", {}, std::nullopt, std::nullopt});
    ASSERT_TRUE(devices) << devices.error().description;
    EXPECT_TRUE(nlohmann::json::parse(devices.value().body).contains("device-1"));
    const auto package = request(transport, {"GET", baseURL + "/releases/Tessary.pkg", {}, std::nullopt, std::nullopt});
    ASSERT_TRUE(package) << package.error().description;
    EXPECT_EQ(package.value().status, 200);
    EXPECT_EQ(package.value().body, packageBytes);

    ::kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.readLine().value_or(""), "Stopped");
    EXPECT_EQ(service.wait(), 0);
}

// What a family set up survives the server's end, however it ends: the former state file is taken
// in once, a pairing made since answers after a kill, and what the devices reported is kept.
TEST(DevServiceProgramTest, PairingsSurviveAKillAndTheFormerStateFileIsImportedOnce)
{
    testing::TemporaryFolder folder;
    testing::TemporaryFolder::writeFile(
        folder.path() / "state.json",
        R"({"devices": {"device-old": {"token": "old-token", "familyId": "family-1", "rules": {"mode": "allow"}}}})");
    const auto run = [&] {
        auto service = std::make_unique<ChildProcess>(std::vector<std::string>{
            TESSARY_DEVSERVICE_PATH, "--port", "0", "--state", folder.path().string(), "--issue-setup-code"});
        service->readLine();
        return service;
    };
    auto service = run();
    const auto baseURL = valueAfter(service->readLine().value_or(""), "TESSARY_SERVICE_URL=");
    const auto caFile = valueAfter(service->readLine().value_or(""), "TESSARY_CA_FILE=");
    const auto code = valueAfter(service->readLine().value_or(""), "Setup code: ");
    BeastHttpTransport transport(caFile);
    const auto heartbeat = [&](const std::string& url, const std::string& device, const std::string& token) {
        const auto reply = request(transport, {"POST", url + "/api/heartbeat",
                                               {{"X-Device-Id", device}, {"Authorization", "Bearer " + token},
                                                {"X-App-Error", "disk full"}},
                                               "{}", std::nullopt});
        return reply ? reply.value().status : -1;
    };
    EXPECT_EQ(heartbeat(baseURL, "device-old", "old-token"), 200) << "the former state file was not imported";
    const auto paired = request(transport, {"POST", baseURL + "/api/use-setup-code", {{"Content-Type", "application/json"}},
                                            nlohmann::json{{"setupCode", code}, {"deviceId", "device-new"}}.dump(),
                                            std::nullopt});
    ASSERT_TRUE(paired) << paired.error().description;
    const auto token = nlohmann::json::parse(paired.value().body).value("token", "");
    ::kill(service->pid(), SIGKILL);
    service->wait();

    service = run();
    const auto restartedURL = valueAfter(service->readLine().value_or(""), "TESSARY_SERVICE_URL=");
    EXPECT_EQ(heartbeat(restartedURL, "device-new", token), 200) << "the pairing was lost";
    EXPECT_EQ(heartbeat(restartedURL, "device-old", "old-token"), 200);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "state.json.imported"));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "state.json"));
    ::kill(service->pid(), SIGTERM);
    EXPECT_EQ(service->wait(), 0);
}

// A family's whole setup with the real program: a parent added from the command line signs in to
// the dashboard over HTTPS (a browser's cookies kept by curl), asks for a setup code, a device pairs
// with it and is listed under its name, shown as text.
TEST(DevServiceProgramTest, AParentAddedFromTheCommandLineSignsInAndADevicePairsWithTheirCode)
{
    testing::TemporaryFolder folder;
    const auto state = folder.path() / "state";
    const auto [added, addedOutput] = ChildProcess::run(
        {TESSARY_DEVSERVICE_PATH, "add-parent", "--state", state.string(), "ada"}, {}, std::string("correct horse\n"));
    ASSERT_EQ(added, 0) << addedOutput;
    EXPECT_EQ(addedOutput, "Parent ada signs in to family family-1\n");
    EXPECT_NE(ChildProcess::run({TESSARY_DEVSERVICE_PATH, "add-parent", "--state", state.string(), "bob"}, {},
                                std::string("short\n"))
                  .first,
              0)
        << "a password under 8 characters";

    ChildProcess service({TESSARY_DEVSERVICE_PATH, "--port", "0", "--state", state.string()});
    service.readLine();
    const auto baseURL = valueAfter(service.readLine().value_or(""), "TESSARY_SERVICE_URL=");
    const auto caFile = valueAfter(service.readLine().value_or(""), "TESSARY_CA_FILE=");
    const auto jar = (folder.path() / "cookies").string();
    const auto browse = [&](const std::string& path, std::vector<std::string> form = {}) {
        std::vector<std::string> command{"curl", "-sS", "--cacert", caFile, "-c", jar, "-b", jar, "-L"};
        for (const auto& field : form) {
            command.push_back("--data-urlencode");
            command.push_back(field);
        }
        command.push_back(baseURL + path);
        return ChildProcess::run(command).second;
    };
    const auto formToken = [](const std::string& page) {
        const auto at = page.find("name=\"form\" value=\"");
        return at == std::string::npos ? std::string() : page.substr(at + 19, 32);
    };

    const auto signInPage = browse("/");
    ASSERT_NE(signInPage.find("Sign in"), std::string::npos) << signInPage;
    const auto devicesPage =
        browse("/sign-in", {"form=" + formToken(signInPage), "name=ada", "password=correct horse"});
    ASSERT_NE(devicesPage.find("No device is set up yet."), std::string::npos) << devicesPage;
    const auto codePage = browse("/family/setup-code", {"form=" + formToken(devicesPage)});
    const auto at = codePage.find("Setup code: ");
    ASSERT_NE(at, std::string::npos) << codePage;
    const auto code = codePage.substr(at + 12, 6);

    const auto [curled, paired] = ChildProcess::run(
        {"curl", "-sS", "--cacert", caFile, "-H", "Content-Type: application/json", "--data",
         nlohmann::json{{"setupCode", code}, {"deviceId", "device-1"}, {"deviceName", "Kim's <b>laptop</b>"}}.dump(),
         baseURL + "/api/use-setup-code"});
    ASSERT_EQ(curled, 0);
    EXPECT_NE(paired.find("\"familyId\":\"family-1\""), std::string::npos) << paired;
    const auto listed = browse("/");
    EXPECT_NE(listed.find("Kim&#39;s &lt;b&gt;laptop&lt;/b&gt;"), std::string::npos) << listed;

    // Nothing of the dashboard's (passwords, cookies) is in the record of API requests.
    const auto requests = ChildProcess::run({"curl", "-sS", "--cacert", caFile, baseURL + "/admin/requests"}).second;
    EXPECT_EQ(requests.find("correct"), std::string::npos) << requests;
    ::kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.wait(), 0);
}

TEST(DevServiceProgramTest, APackageThatCannotBeReadStopsItBeforeListening)
{
    testing::TemporaryFolder folder;
    ChildProcess service({std::string(TESSARY_DEVSERVICE_PATH), "--port", "0", "--state", folder.path().string(),
                          "--package", (folder.path() / "missing.deb").string()});
    ASSERT_TRUE(service.started());
    EXPECT_EQ(service.readLine(), std::nullopt);
    EXPECT_EQ(service.wait(), 1);
}

}  // namespace
}  // namespace tessary
