// A page visit through the real parts: the Chrome host appends the visit to the shared store,
// posts the wake-up datagram and replies; the monitoring agent wakes, drains the queue and sends an
// "activity" frame to the stand-in service (in this process, so the frame's arrival is stamped on
// the thread that reads it). Prints, over distinct URLs, the time from this program reading the
// host's reply to that frame's arrival; asserts nothing.
//   visit_latency [visits] [path to PellixApp]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/core/DeviceConfig.h"
#include "agent/core/DeviceIdentifier.h"
#include "platform/linux/FileSecureStore.h"
#include "platform/linux/SecureStoreFactory.h"
#include "tests/support/NativeFrames.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/WatchedProcess.h"
#include "server/service/ServerCertificates.h"
#include "server/service/HttpsServer.h"
#include "server/service/FamilyService.h"

extern char** environ;

using namespace tessary;
using namespace tessary::testing;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kWarmUpVisits = 5;
constexpr auto kAgentReadyLimit = std::chrono::seconds(30);
// How long an agent whose output has ended may take to become a zombie.
constexpr auto kExitLimit = std::chrono::seconds(2);
constexpr auto kVisitLimit = std::chrono::seconds(10);
constexpr double kTargetP50Ms = 5.0;
// Chrome names the extension that started the host; the host answers whoever it is.
constexpr auto kExtensionOrigin = "chrome-extension://kfpbnmcjdeoahlgikfpbnmcjdeoahlgi/";

// When each visited URL reached the service in an "activity" frame.
class ArrivalLog {
public:
    void recordFrame(const std::string& text, SteadyClock::time_point arrived)
    {
        const auto frame = nlohmann::json::parse(text, nullptr, false);
        if (!frame.is_object() || frame.value("type", "") != "activity" || !frame.contains("payload") ||
            !frame.at("payload").is_object())
            return;
        const auto events = frame.at("payload").value("events", nlohmann::json::array());
        const std::lock_guard lock(mutex_);
        for (const auto& event : events) {
            const auto url = event.is_object() ? event.find("url") : event.end();
            if (url != event.end() && url->is_string())
                arrivals_.emplace(url->get<std::string>(), arrived);
        }
        changed_.notify_all();
    }

    std::optional<SteadyClock::time_point> waitFor(const std::string& url, SteadyClock::time_point deadline)
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return arrivals_.count(url) != 0; }))
            return std::nullopt;
        return arrivals_.at(url);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, SteadyClock::time_point> arrivals_;
};

// Appends exactly `count` bytes from fd to `bytes`, or fails at end of output or at the deadline.
bool readExactly(int fd, std::size_t count, std::string& bytes, SteadyClock::time_point deadline)
{
    const auto wanted = bytes.size() + count;
    char chunk[4096];
    while (bytes.size() < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0)
            return false;
        const auto n = ::read(fd, chunk, std::min(sizeof chunk, wanted - bytes.size()));
        if (n <= 0)
            return false;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

struct HostReply {
    SteadyClock::time_point read;  // when the last byte of the reply was read
    nlohmann::json message;
};

// Starts the Chrome host as Chrome does, one framed message on its standard input, and reads its
// framed reply; the host is reaped before this returns.
std::optional<HostReply> askChromeHost(const std::string& program, const std::string& message)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return std::nullopt;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string path = program;
    std::string origin = kExtensionOrigin;
    char* argv[] = {path.data(), origin.data(), nullptr};
    pid_t pid = -1;
    const bool spawned = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);

    std::optional<HostReply> reply;
    if (spawned) {
        const auto frame = tessary::testing::NativeFrames::framed(message);
        const bool sent = ::write(in[1], frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
        const auto deadline = SteadyClock::now() + kVisitLimit;
        std::string header;
        if (sent && readExactly(out[0], 4, header, deadline)) {
            std::uint32_t length = 0;
            for (int i = 3; i >= 0; --i)
                length = (length << 8) | static_cast<unsigned char>(header[static_cast<std::size_t>(i)]);
            std::string body;
            if (readExactly(out[0], length, body, deadline)) {
                const auto read = SteadyClock::now();
                reply = HostReply{read, nlohmann::json::parse(body, nullptr, false)};
            }
        }
    }
    ::close(in[1]);
    ::close(out[0]);
    if (spawned) {
        if (!waitForExit(pid, kVisitLimit))
            ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return reply;
}

double percentile(const std::vector<double>& sorted, double p)
{
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char* argv[])
{
    const int visits = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const std::string agentProgram = argc > 2 ? argv[2] : std::string(TESSARY_AGENT_PATH);

    TemporaryFolder folder;
    const auto paths = folder.paths();
    std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(paths.dataDirs.front());

    auto certificates = server::ServerCertificates::loadOrCreate(folder.path() / "service", {"127.0.0.1"});
    if (!certificates) {
        std::fprintf(stderr, "no certificates: %s\n", certificates.error().description.c_str());
        return 1;
    }
    auto service = std::make_shared<server::FamilyService>();
    ArrivalLog arrivals;
    service->setFrameObserver([&arrivals](const std::string&, const std::string& text) {
        arrivals.recordFrame(text, SteadyClock::now());
    });
    server::HttpsServer server(service, certificates.value());
    const auto port = server.start();
    if (!port) {
        std::fprintf(stderr, "the stand-in service did not start: %s\n", port.error().description.c_str());
        return 1;
    }

    // Paired as the setup wizard pairs, with the credentials where the file backend keeps them.
    const auto deviceId = DeviceIdentifier::generate();
    const auto code = service->issueSetupCode()["setupCode"].get<std::string>();
    const auto pairing = service->handle(server::HttpQuery{
        "POST", "/api/use-setup-code", {},
        nlohmann::json{{"setupCode", code}, {"deviceId", deviceId}, {"deviceName", "bench"}, {"macUsername", "bench"}}
            .dump()});
    if (pairing.status != 200) {
        std::fprintf(stderr, "pairing failed: %d %s\n", pairing.status, pairing.body.c_str());
        return 1;
    }
    const auto paired = nlohmann::json::parse(pairing.body);
    FileSecureStore credentials(SecureStoreFactory::credentialsFile(paths));
    static_cast<void>(credentials.write(DeviceConfig::kServiceName, "deviceId", deviceId));
    static_cast<void>(credentials.write(DeviceConfig::kServiceName, "token", paired.at("token").get<std::string>()));
    static_cast<void>(
        credentials.write(DeviceConfig::kServiceName, "familyId", paired.at("familyId").get<std::string>()));

    const std::map<std::string, std::string> environment = {
        {"HOME", paths.home.string()},
        {"XDG_CONFIG_HOME", paths.configHome.string()},
        {"XDG_DATA_HOME", paths.dataHome.string()},
        {"XDG_DATA_DIRS", paths.dataDirs.front().string()},
        {"XDG_RUNTIME_DIR", paths.runtimeDir.string()},
        {"QT_QPA_PLATFORM", "offscreen"},
        {"TESSARY_SECRET_BACKEND", "file"},
        {"TESSARY_LOG_STDERR", "1"},
        {"TESSARY_SERVICE_URL", "https://127.0.0.1:" + std::to_string(port.value())},
        {"TESSARY_CA_FILE", certificates.value().caFile.string()}};
    // The Chrome host, started with this program's environment, shares the agent's session.
    for (const auto& [name, value] : environment)
        ::setenv(name.c_str(), value.c_str(), 1);

    WatchedProcess agent({agentProgram}, environment);
    for (const auto* line : {"Monitoring started", "Rules fetched via HTTP", "WebSocket connected"}) {
        if (!agent.waitForLine(line, kAgentReadyLimit)) {
            std::fprintf(stderr, "the agent %s before logging \"%s\":\n%s",
                         waitForExit(agent.pid(), kExitLimit) ? "exited" : "timed out", line, agent.output().c_str());
            return 1;
        }
    }

    std::vector<double> milliseconds;
    for (int visit = 0; visit < kWarmUpVisits + visits; ++visit) {
        const auto url = "https://site-" + std::to_string(visit) + ".example.org/page";
        const nlohmann::json message = {{"type", "url_visit"}, {"url", url}, {"timestamp", 1700000000 + visit}};
        const auto reply = askChromeHost(TESSARY_CHROME_HOST_PATH, message.dump());
        if (!reply || !reply->message.is_object() || reply->message.value("ok", false) != true) {
            std::fprintf(stderr, "visit %d: the Chrome host did not answer {\"ok\":true}\n", visit);
            return 1;
        }
        const auto arrived = arrivals.waitFor(url, SteadyClock::now() + kVisitLimit);
        if (!arrived) {
            std::fprintf(stderr, "visit %d: no activity frame for %s\n%s", visit, url.c_str(), agent.output().c_str());
            return 1;
        }
        // Negative when the frame was already there as the reply was read.
        if (visit >= kWarmUpVisits)
            milliseconds.push_back(std::chrono::duration<double, std::milli>(*arrived - reply->read).count());
    }

    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("visit_latency visits=%d (after %d warm-up): Chrome host reply read -> \"activity\" frame at the "
                "service\n",
                visits, kWarmUpVisits);
    std::printf("  p50 %.3f ms (target <= %.0f ms), p99 %.3f ms, min %.3f ms, max %.3f ms\n",
                percentile(milliseconds, 0.50), kTargetP50Ms, percentile(milliseconds, 0.99), milliseconds.front(),
                milliseconds.back());
    // The host posts the wake-up before it writes its reply, so the frame may win the race.
    const auto frameFirst = std::count_if(milliseconds.begin(), milliseconds.end(), [](double ms) { return ms < 0; });
    std::printf("  frame at the service before the reply was read: %td of %d visits\n", frameFirst, visits);
    return 0;
}
