#include <gtest/gtest.h>

#include <QImage>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QSignalSpy>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "agent/ui/panel/PanelView.h"
#include "tests/support/PanelScene.h"
#include "tests/support/TemporaryFolder.h"

extern char** environ;

namespace tessary {
namespace {

using testing::PanelScene;
using namespace std::chrono_literals;

std::optional<std::filesystem::path> findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const auto end = std::min(folders.find(':', start), folders.size());
        const auto candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

// An Xvfb server of our own. It picks a free display number itself (-displayfd), so tests running
// side by side never collide; the display is ready once its socket exists.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const std::filesystem::path& program)
    {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            return;
        ::fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
        const auto writeFd = std::to_string(pipeFds[1]);
        std::string programText = program.string();
        std::vector<std::string> arguments = {programText, "-displayfd", writeFd, "-screen", "0", "1024x768x24",
                                              "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, programText.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        ::close(pipeFds[1]);
        if (pid_ > 0)
            number_ = readDisplayNumber(pipeFds[0], 10s);
        ::close(pipeFds[0]);
        if (number_ && !waitForSocket(10s))
            number_.reset();
    }

    ~VirtualDisplay()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }

    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool ready() const { return number_.has_value(); }
    std::string name() const { return ":" + std::to_string(*number_); }

private:
    static std::optional<int> readDisplayNumber(int fd, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string text;
        while (text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return std::nullopt;
            pollfd waiting{fd, POLLIN, 0};
            const int polled = ::poll(&waiting, 1, static_cast<int>(left.count()));
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                return std::nullopt;
            char chunk[32];
            const auto n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return std::atoi(text.c_str());
    }

    bool waitForSocket(std::chrono::milliseconds limit) const
    {
        const auto socket = std::filesystem::path("/tmp/.X11-unix") / ("X" + std::to_string(*number_));
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!std::filesystem::exists(socket)) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    pid_t pid_ = -1;
    std::optional<int> number_;
};

struct Shot {
    const char* file;
    std::function<void(PanelScene&)> enter;
    int width;
};

// Each panel state as a PNG, from a real X server. With TESSARY_WRITE_SCREENSHOTS=1 the images go
// to docs/screenshots in the source tree (the README shows them); otherwise to a temporary folder.
TEST(PanelScreenshotTest, EachPanelStateIsCapturedAtItsSize)
{
    const auto xvfb = findProgram("Xvfb");
    if (!xvfb)
        GTEST_SKIP() << "Xvfb is not installed";
    VirtualDisplay display(*xvfb);
    ASSERT_TRUE(display.ready()) << "Xvfb did not come up";

    qputenv("DISPLAY", display.name().c_str());
    testing::TemporaryFolder temporary;
    const bool writeToTree = qEnvironmentVariable("TESSARY_WRITE_SCREENSHOTS") == QLatin1String("1");
    const auto folder = writeToTree ? std::filesystem::path(TESSARY_SOURCE_DIR) / "docs" / "screenshots"
                                    : temporary.path() / "screenshots";
    std::filesystem::create_directories(folder);

    // Kept to the end of the process, as in the agent: Qt frees some scene-graph textures only then.
    // This program holds this one test, so no later test meets a display that is gone.
    testing::guiApplication("xcb");

    const Shot shots[] = {
        {"wizard-screen-a.png", [](PanelScene&) {}, 200},
        {"wizard-screen-b-error.png", [](PanelScene& s) { s.failPairing(); }, 280},
        {"menu-monitoring.png", [](PanelScene& s) { s.showMenu(true); }, 200},
        {"menu-not-connected.png", [](PanelScene& s) { s.showMenu(false); }, 200},
        {"update-idle.png", [](PanelScene& s) { s.showMenu(true); }, 200},
        {"update-checking.png",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("checking");
         },
         200},
        {"update-up-to-date.png",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("upToDate");
         },
         200},
        {"update-available.png",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("available");
         },
         200},
        {"update-downloading.png",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("downloading");
         },
         200},
        {"update-failed.png",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("failed");
         },
         200},
        {"wizard-up-to-date.png", [](PanelScene& s) { s.driveUpdateLine("upToDate"); }, 200},
    };

    for (const auto& shot : shots) {
        SCOPED_TRACE(shot.file);
        PanelScene scene;
        PanelView panel(scene.content());
        shot.enter(scene);
        QSignalSpy drawn(&panel, &PanelView::firstFrameDrawn);
        panel.show(QRect());
        ASSERT_TRUE(drawn.wait(5000)) << "no frame drawn";
        scene.settle();

        auto* window = panel.window();
        const auto* content = window->contentItem()->childItems().value(0);
        ASSERT_NE(content, nullptr);
        const QImage image = window->grabWindow();
        ASSERT_FALSE(image.isNull());
        const qreal ratio = window->devicePixelRatio();
        EXPECT_EQ(window->width(), shot.width);
        EXPECT_EQ(image.size(), QSize(qRound(shot.width * ratio), qRound(content->height() * ratio)));

        // Drawn content, not a blank window: the panel shows text in several colours.
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 8);

        const auto file = folder / shot.file;
        EXPECT_TRUE(image.save(QString::fromStdString(file.string()), "PNG"));
        EXPECT_GT(std::filesystem::file_size(file), 500U);
    }
}

}  // namespace
}  // namespace tessary
