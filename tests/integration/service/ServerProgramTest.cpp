#include <csignal>
#include <future>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/linux/BeastHttpTransport.h"
#include "server/service/ServerCertificates.h"
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

// The program as a person runs it: one command, its trust written out as PEM with the fingerprint
// a browser shows, a setup code printed, a built package published at the release address, the
// admin interface answering when asked for, and a clean stop on SIGTERM.
TEST(ServerProgramTest, StartsServesAndStopsOnSigterm)
{
    testing::TemporaryFolder folder;
    const std::string packageBytes("!<arch>\ndebian-binary\0\xff", 23);
    const auto packageFile = folder.path() / "tessary_1.1.0_amd64.deb";
    testing::TemporaryFolder::writeFile(packageFile, packageBytes);
    ChildProcess service({std::string(TESSARY_SERVER_PATH), "--port", "0", "--state", folder.path().string(),
                          "--issue-setup-code", "--package", packageFile.string(), "--admin-interface"});
    ASSERT_TRUE(service.started());
    const auto listening = service.readLine().value_or("");
    const auto fingerprint = valueAfter(service.readLine().value_or(""), "Certificate fingerprint (SHA-256): ");
    const auto baseURL = valueAfter(service.readLine().value_or(""), "TESSARY_SERVICE_URL=");
    const auto caFile = valueAfter(service.readLine().value_or(""), "TESSARY_CA_FILE=");
    const auto code = valueAfter(service.readLine().value_or(""), "Setup code: ");
    ASSERT_EQ(listening.rfind("Listening on 127.0.0.1:", 0), 0u) << listening;
    const auto [read, shown] = ChildProcess::run(
        {"openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", (folder.path() / "server.pem").string()});
    EXPECT_EQ(shown, "sha256 Fingerprint=" + fingerprint + "\n");
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
// in once, a pairing made since answers after a kill, and what the devices reported is kept. It runs
// from a configuration file, as installed, and so serves no admin interface.
TEST(ServerProgramTest, PairingsSurviveAKillAndTheFormerStateFileIsImportedOnce)
{
    testing::TemporaryFolder folder;
    testing::TemporaryFolder::writeFile(
        folder.path() / "state.json",
        R"({"devices": {"device-old": {"token": "old-token", "familyId": "family-1", "rules": {"mode": "allow"}}}})");
    const auto configuration = folder.path() / "server.json";
    testing::TemporaryFolder::writeFile(
        configuration, nlohmann::json{{"listen", "127.0.0.1:0"}, {"dataFolder", folder.path().string()}, {"retentionDays", 7}}.dump());
    const auto run = [&] {
        auto service = std::make_unique<ChildProcess>(std::vector<std::string>{
            TESSARY_SERVER_PATH, "--config", configuration.string(), "--issue-setup-code"});
        service->readLine();
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
    const auto admin = request(transport, {"GET", baseURL + "/admin/devices", {}, std::nullopt, std::nullopt});
    ASSERT_TRUE(admin) << admin.error().description;
    EXPECT_EQ(admin.value().status, 404) << "the admin interface answers without being asked for";
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
TEST(ServerProgramTest, AParentAddedFromTheCommandLineSignsInAndADevicePairsWithTheirCode)
{
    testing::TemporaryFolder folder;
    const auto state = folder.path() / "state";
    const auto [added, addedOutput] = ChildProcess::run(
        {TESSARY_SERVER_PATH, "add-parent", "--state", state.string(), "ada"}, {}, std::string("correct horse\n"));
    ASSERT_EQ(added, 0) << addedOutput;
    EXPECT_EQ(addedOutput, "Parent ada signs in to family family-1\n");
    const auto [again, againOutput] = ChildProcess::run(
        {TESSARY_SERVER_PATH, "add-parent", "--state", state.string(), "ada"}, {}, std::string("correct horse\n"));
    EXPECT_EQ(againOutput, "Parent ada signs in to family family-1\n") << "a new password keeps the family";
    EXPECT_NE(ChildProcess::run({TESSARY_SERVER_PATH, "add-parent", "--state", state.string(), "bob"}, {},
                                std::string("short\n"))
                  .first,
              0)
        << "a password under 8 characters";

    ChildProcess service({TESSARY_SERVER_PATH, "--port", "0", "--state", state.string(), "--admin-interface"});
    service.readLine();
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

// The server's own certificate follows the names it is given, under the CA devices already trust.
TEST(ServerProgramTest, ACertificateLackingANameIsReplacedUnderTheSameAuthority)
{
    testing::TemporaryFolder folder;
    const auto first = server::ServerCertificates::loadOrCreate(folder.path(), {"localhost"});
    ASSERT_TRUE(first) << first.error().description;
    const auto same = server::ServerCertificates::loadOrCreate(folder.path(), {"localhost"});
    ASSERT_TRUE(same);
    EXPECT_EQ(same.value().serverCertificatePem, first.value().serverCertificatePem) << "kept while it serves";
    const auto widened = server::ServerCertificates::loadOrCreate(folder.path(), {"homeserver.lan", "192.0.2.7"});
    ASSERT_TRUE(widened);
    EXPECT_EQ(widened.value().caPem, first.value().caPem);
    EXPECT_NE(widened.value().serverCertificatePem, first.value().serverCertificatePem);
    const auto said = ChildProcess::run({"sh", "-c", "openssl verify -CAfile \"$0/ca.pem\" \"$0/server.pem\" && "
                                                     "openssl x509 -noout -ext subjectAltName -in \"$0/server.pem\"",
                                         folder.path().string()}).second;
    EXPECT_NE(said.find("server.pem: OK"), std::string::npos) << said;
    EXPECT_NE(said.find("DNS:homeserver.lan, IP Address:192.0.2.7"), std::string::npos) << said;
    // The state's file is FamilyStoreTest's; the keys are the owner's alone, the authority anyone's.
    for (const auto& [file, mode] : {std::pair{"ca-key.pem", 0600U}, {"server-key.pem", 0600U}, {"ca.pem", 0644U}}) {
        struct stat status {};
        ASSERT_EQ(::stat((folder.path() / file).c_str(), &status), 0) << file;
        EXPECT_EQ(status.st_mode & 0777, mode) << file;
    }
}

// What cannot work stops the program before it listens, saying why.
TEST(ServerProgramTest, WhatCannotWorkStopsItBeforeListening)
{
    testing::TemporaryFolder folder;
    const auto configuration = (folder.path() / "server.json").string();
    const auto state = folder.path().string();
    const struct {
        const char* name;
        std::string configuration;
        std::vector<std::string> arguments;
        int status;
        std::string said;
    } rows[] = {
        {"a package that cannot be read", "", {"--package", (folder.path() / "missing.deb").string()}, 1, "missing.deb: cannot be read"},
        {"an unknown setting", R"({"listen": "127.0.0.1:0", "colour": "blue"})", {}, 2, "unknown setting \"colour\""},
        {"a configuration that is not JSON", "listen = 8443", {}, 2, "not a JSON object"},
        {"a port out of range", R"({"listen": "127.0.0.1:70000"})", {}, 2, "\"listen\" must be"},
        {"a certificate without its key", R"({"certificate": "/etc/ssl/certs/ssl-cert-snakeoil.pem"})", {}, 2,
         "\"certificate\" and \"key\" go together"},
        {"a key that is not the certificate's", "", {}, 1, "not a PEM certificate"},
        {"a negative retention", R"({"retentionDays": -1})", {}, 2, "\"retentionDays\" must be"},
        {"an unknown argument", "", {"--colour", "blue"}, 2, "unexpected argument --colour"},
    };
    for (const auto& row : rows) {
        // What it says on standard error, too.
        std::vector<std::string> command{"sh", "-c", "exec \"$@\" 2>&1", "sh", TESSARY_SERVER_PATH, "--port", "0", "--state", state};
        if (!row.configuration.empty() || std::string(row.name).find("key") != std::string::npos) {
            auto text = row.configuration;
            if (text.empty()) {
                testing::TemporaryFolder::writeFile(folder.path() / "not-a-certificate.pem", "garbage");
                text = nlohmann::json{{"certificate", (folder.path() / "not-a-certificate.pem").string()},
                                      {"key", (folder.path() / "not-a-certificate.pem").string()}}.dump();
            }
            testing::TemporaryFolder::writeFile(configuration, text);
            command.insert(command.end(), {"--config", configuration});
        }
        command.insert(command.end(), row.arguments.begin(), row.arguments.end());
        const auto [status, output] = ChildProcess::run(command);
        EXPECT_EQ(status, row.status) << row.name << ": " << output;
        EXPECT_NE(output.find(row.said), std::string::npos) << row.name << ": " << output;
        EXPECT_EQ(output.find("Listening"), std::string::npos) << row.name;
    }
}

}  // namespace
}  // namespace tessary
