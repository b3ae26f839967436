// Starts the real agent headless in a fresh temporary HOME, again and again, and prints the time
// from spawning it to its fourth "App launched —" line, and its resident memory once started.
//   agent_startup [runs] [path to PellixApp]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

using namespace tessary::testing;

namespace {

long residentKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

}  // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::stoi(argv[1]) : 20;
    const std::string agent = argc > 2 ? argv[2] : std::string(TESSARY_AGENT_PATH);
    std::vector<double> launchMs;
    std::vector<double> rssMiB;
    for (int run = 0; run < runs; ++run) {
        TemporaryFolder folder;
        const auto paths = folder.paths();
        std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
        const std::map<std::string, std::string> environment = {
            {"HOME", paths.home.string()},           {"XDG_CONFIG_HOME", paths.configHome.string()},
            {"XDG_DATA_HOME", paths.dataHome.string()}, {"XDG_RUNTIME_DIR", paths.runtimeDir.string()},
            {"QT_QPA_PLATFORM", "offscreen"},       {"TESSARY_SECRET_BACKEND", "file"},
            {"TESSARY_LOG_STDERR", "1"}};
        const auto start = std::chrono::steady_clock::now();
        ChildProcess process({agent}, environment, std::nullopt, ChildProcess::Capture::standardOutputAndError);
        int launchLines = 0;
        while (auto line = process.readLine()) {
            if (line->find("App launched — ") != std::string::npos && ++launchLines == 4)
                break;
        }
        if (launchLines != 4) {
            std::fprintf(stderr, "run %d: the agent did not log its four launch lines\n", run);
            return 1;
        }
        launchMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        // Let the event loop settle before reading memory.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        rssMiB.push_back(static_cast<double>(residentKilobytes(process.pid())) / 1024.0);
    }
    std::printf("agent_startup runs=%d launch_p50_ms=%.1f launch_p95_ms=%.1f rss_p50_mib=%.1f rss_max_mib=%.1f\n",
                runs, percentile(launchMs, 0.5), percentile(launchMs, 0.95), percentile(rssMiB, 0.5),
                *std::max_element(rssMiB.begin(), rssMiB.end()));
    return 0;
}
