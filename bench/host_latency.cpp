// Round trip of a browser's native-messaging host (the Chrome host or the Firefox host, as built) as
// the browser sees it: from spawning the program to reading its whole reply, against a minimal echo
// host. Prints one line per case; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonText.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string framed(const std::string& message)
{
    const auto length = static_cast<std::uint32_t>(message.size());
    std::string frame;
    for (int shift = 0; shift < 32; shift += 8)
        frame += static_cast<char>((length >> shift) & 0xFFU);
    return frame + message;
}

// One spawn, one message in, the framed reply read to its end; milliseconds.
double roundTrip(const std::string& program, const std::string& frame)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};

    const auto start = SteadyClock::now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) != 0)
        std::abort();
    ::close(in[0]);
    ::close(out[1]);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const auto n = ::write(in[1], frame.data() + sent, frame.size() - sent);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
    std::string reply;
    char chunk[65536];
    for (;;) {
        const auto n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    const auto end = SteadyClock::now();
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (reply.size() < 4)
        std::fprintf(stderr, "no reply from %s\n", program.c_str());
    return std::chrono::duration<double, std::milli>(end - start).count();
}

struct Figures {
    double p50;
    double p95;
};

Figures percentiles(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) { return times[static_cast<std::size_t>(q * static_cast<double>(times.size() - 1))]; };
    return {at(0.50), at(0.95)};
}

// Host and echo runs alternate, so a machine whose load changes during the run burdens both alike.
std::pair<Figures, Figures> measure(const std::string& host, const std::string& echo, const std::string& message,
                                    int runs, const std::function<void()>& afterHostRun)
{
    const auto frame = framed(message);
    for (int i = 0; i < 5; ++i) {  // warm the page cache
        roundTrip(host, frame);
        roundTrip(echo, frame);
    }
    std::vector<double> hostTimes;
    std::vector<double> echoTimes;
    for (int i = 0; i < runs; ++i) {
        hostTimes.push_back(roundTrip(host, frame));
        afterHostRun();
        echoTimes.push_back(roundTrip(echo, frame));
    }
    return {percentiles(hostTimes), percentiles(echoTimes)};
}

}  // namespace

int main()
{
    using namespace tessary;
    constexpr int kRuns = 200;
    char pattern[] = "/tmp/tessary-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return 1;
    const std::filesystem::path root = pattern;
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    std::filesystem::create_directories(root / "run");
    Paths paths;
    paths.dataHome = root / "data";
    paths.runtimeDir = root / "run";

    nlohmann::json rules{{"mode", "allow"},         {"blockedSites", nlohmann::json::array()},
                         {"blockedApps", {"org.example.Game"}}, {"approvedSites", nlohmann::json::array()},
                         {"approvedApps", nlohmann::json::array()}, {"grants", nlohmann::json::array()}};
    for (int i = 0; i < 10'000; ++i)
        rules["blockedSites"].push_back("blocked-site-" + std::to_string(i) + ".example.com");
    const auto rulesText = JsonText::dump(rules).value();

    // The agent keeps its connection open while it runs, as here.
    auto agent = SharedStore::open(SharedStoreFormat::storePath(paths), SharedStore::Access::readWrite,
                                   std::chrono::milliseconds(1000));
    if (!agent || agent.value()->setData(SharedStoreFormat::kRulesKey, rulesText))
        return 1;

    const std::string host = TESSARY_HOST_PATH;
    const std::string echo = TESSARY_ECHO_HOST_PATH;
    const std::string getRules = R"({"type":"get_rules"})";
    const std::string visit = R"({"type":"url_visit","url":"https://www.example.com/some/page?q=1","timestamp":1700000000})";

    struct Case {
        const char* name;
        const std::string* message;
    };
    const Case cases[] = {{"get_rules_10000_sites", &getRules}, {"url_visit", &visit}};
    std::printf("%s; rules value: %zu bytes; %d runs per case\n", TESSARY_HOST_PATH, rulesText.size(), kRuns);
    for (const auto& c : cases) {
        // The agent drains as it runs, so the queue stays short.
        const auto [hostFigures, echoFigures] = measure(host, echo, *c.message, kRuns, [&] {
            [[maybe_unused]] const auto drained = agent.value()->takeEvents();
        });
        std::printf("%s p50_ms=%.3f p95_ms=%.3f ratio_to_echo=%.2f\n", c.name, hostFigures.p50, hostFigures.p95,
                    hostFigures.p50 / echoFigures.p50);
        std::printf("echo_%s p50_ms=%.3f p95_ms=%.3f ratio_to_echo=1.00\n", c.name, echoFigures.p50, echoFigures.p95);
    }
    agent.value().reset();
    std::filesystem::remove_all(root);
    return 0;
}
