// Round trip of a browser's native-messaging host (the Chrome host or the Firefox host, as built) as
// the browser sees it: from spawning the program to reading its whole reply and its standard error
// (Firefox reads both), against a minimal echo host given the same message and given a message as
// large as the host's reply. Prints one line per case and floor; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonText.h"
#include "shared/SharedStore.h"
#include "shared/SharedStoreFormat.h"
#include "tests/support/NativeFrames.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Run {
    double milliseconds;
    std::size_t replyBytes;
    std::size_t stderrBytes;
};

// One spawn, one message in, the framed reply and standard error read to their end.
Run roundTrip(const std::string& program, const std::string& frame)
{
    int in[2];
    int out[2];
    int err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};

    const auto start = SteadyClock::now();
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) != 0)
        std::abort();
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const auto n = ::write(in[1], frame.data() + sent, frame.size() - sent);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
    // Both drained together: a host blocked on a full stderr pipe would never finish its reply. Bytes
    // are counted, not kept, so the bench's own memory does not weigh on a large reply.
    std::size_t replyBytes = 0;
    std::size_t stderrBytes = 0;
    static char chunk[65536];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0)
            std::abort();
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const auto n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else if (i == 0) {
                replyBytes += static_cast<std::size_t>(n);
            } else {
                stderrBytes += static_cast<std::size_t>(n);
            }
        }
    }
    const auto end = SteadyClock::now();
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (replyBytes < 4)
        std::fprintf(stderr, "no reply from %s\n", program.c_str());
    return {std::chrono::duration<double, std::milli>(end - start).count(), replyBytes, stderrBytes};
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

// A message the echo host answers with exactly as many bytes as the host's reply.
std::string paddedMessage(std::size_t replyBytes)
{
    constexpr std::size_t kOverhead = 4 + 8;  // the length prefix and {"p":""}
    return R"({"p":")" + std::string(replyBytes > kOverhead ? replyBytes - kOverhead : 0, 'x') + "\"}";
}

struct CaseFigures {
    Figures host;
    Figures echo;
    Figures sameSizeEcho;
    std::size_t replyBytes;
    std::size_t stderrBytes;
};

// The three programs alternate, so a machine whose load changes during the run burdens all alike.
CaseFigures measure(const std::string& host, const std::string& echo, const std::string& message, int runs,
                    const std::function<void()>& afterHostRun)
{
    const auto frame = tessary::testing::NativeFrames::framed(message);
    const auto first = roundTrip(host, frame);
    afterHostRun();
    const auto sameSizeFrame = tessary::testing::NativeFrames::framed(paddedMessage(first.replyBytes));
    for (int i = 0; i < 5; ++i) {  // warm the page cache
        roundTrip(host, frame);
        afterHostRun();
        roundTrip(echo, frame);
        roundTrip(echo, sameSizeFrame);
    }
    std::vector<double> hostTimes;
    std::vector<double> echoTimes;
    std::vector<double> sameSizeTimes;
    std::size_t stderrBytes = 0;
    for (int i = 0; i < runs; ++i) {
        const auto run = roundTrip(host, frame);
        hostTimes.push_back(run.milliseconds);
        stderrBytes += run.stderrBytes;
        afterHostRun();
        echoTimes.push_back(roundTrip(echo, frame).milliseconds);
        sameSizeTimes.push_back(roundTrip(echo, sameSizeFrame).milliseconds);
    }
    return {percentiles(hostTimes), percentiles(echoTimes), percentiles(sameSizeTimes), first.replyBytes,
            stderrBytes / static_cast<std::size_t>(runs)};
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
    const auto manySites = JsonText::dump(rules).value();
    const std::string defaultRules = SharedStoreFormat::kDefaultRules;

    // The agent keeps its connection open while it runs, as here.
    auto agent = SharedStore::open(SharedStoreFormat::storePath(paths), SharedStore::Access::readWrite,
                                   std::chrono::milliseconds(1000));
    if (!agent)
        return 1;

    const std::string host = TESSARY_HOST_PATH;
    const std::string echo = TESSARY_ECHO_HOST_PATH;
    const std::string getRules = R"({"type":"get_rules"})";
    const std::string visit = R"({"type":"url_visit","url":"https://www.example.com/some/page?q=1","timestamp":1700000000})";

    struct Case {
        const char* name;
        const std::string* message;
        const std::string* rules;
    };
    const Case cases[] = {{"get_rules_default_rules", &getRules, &defaultRules},
                          {"get_rules_10000_sites", &getRules, &manySites},
                          {"url_visit", &visit, &defaultRules}};
    std::printf("%s; %d runs per case; p50 and p95 in ms from spawn to the end of reply and stderr\n",
                TESSARY_HOST_PATH, kRuns);
    for (const auto& c : cases) {
        if (agent.value()->setData(SharedStoreFormat::kRulesKey, *c.rules))
            return 1;
        // The agent drains as it runs, so the queue stays short.
        const auto figures = measure(host, echo, *c.message, kRuns, [&] {
            [[maybe_unused]] const auto drained = agent.value()->takeEvents();
        });
        std::printf("%s p50_ms=%.3f p95_ms=%.3f reply_bytes=%zu stderr_bytes=%zu ratio_to_echo=%.2f "
                    "ratio_to_same_size_echo=%.2f\n",
                    c.name, figures.host.p50, figures.host.p95, figures.replyBytes, figures.stderrBytes,
                    figures.host.p50 / figures.echo.p50, figures.host.p50 / figures.sameSizeEcho.p50);
        std::printf("  echo p50_ms=%.3f p95_ms=%.3f\n", figures.echo.p50, figures.echo.p95);
        std::printf("  same_size_echo p50_ms=%.3f p95_ms=%.3f\n", figures.sameSizeEcho.p50, figures.sameSizeEcho.p95);
    }
    agent.value().reset();
    std::filesystem::remove_all(root);
    return 0;
}
