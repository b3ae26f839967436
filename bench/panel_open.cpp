// Opens the tray panel as the agent does, its real view-models (on the fake platform) in this
// process and the panel drawn by the real panel program, and prints the time from the activation
// call to the panel's first frame on screen (the first open starts the panel's process), this
// process's resident memory before the panel, after it was opened once and closed, and after every
// open, and the panel process's while open.
//   panel_open [opens] [--menu]
// Runs on the offscreen platform unless QT_QPA_PLATFORM names another (for example xcb under Xvfb).
#include <QEventLoop>
#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "agent/ui/PanelProcess.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/PanelScene.h"

using namespace tessary;

namespace {

constexpr double kOpenTargetMs = 150;
constexpr double kMemoryTargetMiB = 60;

double statusMiB(const char* field, const std::string& process = "self")
{
    std::ifstream status("/proc/" + process + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return static_cast<double>(std::stol(line.substr(std::strlen(field)))) / 1024.0;
    return -1;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

// The panel's process: this one's only child.
std::string panelProcess()
{
    for (const auto& task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream children("/proc/self/task/" + task.toStdString() + "/children");
        std::string pid;
        if (children >> pid)
            return pid;
    }
    return "self";
}

// CPU time of this process: on a busy machine it shows what the wall time would be on an idle one.
double cpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The activation call to the first frame drawn, in milliseconds; absent when none came in 10 s.
std::optional<double> openOnce(PanelProcess& panel)
{
    QEventLoop loop;
    bool drawn = false;
    const auto connection = QObject::connect(&panel, &PanelProcess::firstFrameDrawn, &loop, [&] {
        drawn = true;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    const auto start = std::chrono::steady_clock::now();
    panel.show(QRect());
    if (!drawn)
        loop.exec();
    const auto end = std::chrono::steady_clock::now();
    QObject::disconnect(connection);
    if (!drawn)
        return std::nullopt;
    return std::chrono::duration<double, std::milli>(end - start).count();
}

// The panel's process hides the window on its own time: the next open waits until it has.
void close(PanelProcess& panel)
{
    panel.hide();
    QEventLoop loop;
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char* argv[])
{
    const int opens = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const bool menu = argc > 2 && std::strcmp(argv[2], "--menu") == 0;

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As the agent: Qt's core only, the panel drawn by its own process.
    QCoreApplication application(argc, argv);
    testing::PanelScene scene;
    if (menu)
        scene.showMenu(false);
    const double baseline = statusMiB("VmRSS:");

    PanelProcess panel(scene.content(), TESSARY_PANEL_PROGRAM_PATH,
                       Logger(std::make_shared<MemoryLogSink>(), "app.brenmoor.tessary", "app"), std::chrono::hours(1));
    const double cpuBefore = cpuMs();
    const auto first = openOnce(panel);
    const double firstCpuMs = cpuMs() - cpuBefore;
    if (!first) {
        std::fprintf(stderr, "panel_open: no frame drawn within 10 s (is %s built?)\n", TESSARY_PANEL_PROGRAM_PATH);
        return 1;
    }
    const double afterOpenMiB = statusMiB("VmRSS:");
    const auto panelPid = panelProcess();
    const double panelOpenMiB = statusMiB("VmRSS:", panelPid);
    close(panel);
    const double afterCloseMiB = statusMiB("VmRSS:");

    std::vector<double> reopenMs;
    for (int i = 0; i < opens; ++i) {
        const auto ms = openOnce(panel);
        if (!ms) {
            std::fprintf(stderr, "panel_open: no frame drawn within 10 s on open %d\n", i + 2);
            return 1;
        }
        reopenMs.push_back(*ms);
        close(panel);
    }
    const double afterAllMiB = statusMiB("VmRSS:");
    const double panelPeakMiB = statusMiB("VmHWM:", panelPid);

    std::printf("panel_open: %s panel, platform %s\n", menu ? "menu" : "wizard",
                qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("  activation to first frame, first open (starts the panel's process, builds the QML engine): %.1f ms, "
                "of which CPU %.1f ms"
                "   (target <= %.0f ms)\n",
                *first, firstCpuMs, kOpenTargetMs);
    std::printf("  activation to first frame, %d later opens: p50 %.1f ms  p90 %.1f ms  max %.1f ms   (target <= %.0f ms)\n",
                opens, percentile(reopenMs, 0.5), percentile(reopenMs, 0.9),
                *std::max_element(reopenMs.begin(), reopenMs.end()), kOpenTargetMs);
    std::printf("  resident memory of the agent's side: %.1f MiB before the panel, %.1f MiB open, %.1f MiB opened once "
                "and closed, %.1f MiB after %d more opens, peak %.1f MiB   (target <= %.0f MiB)\n",
                baseline, afterOpenMiB, afterCloseMiB, afterAllMiB, opens, statusMiB("VmHWM:"), kMemoryTargetMiB);
    std::printf("  resident memory of the panel's process (ends %lld s after the panel closes): %.1f MiB open, "
                "peak %.1f MiB\n",
                static_cast<long long>(PanelProcess::kIdleLifetime.count()), panelOpenMiB, panelPeakMiB);
    return 0;
}
