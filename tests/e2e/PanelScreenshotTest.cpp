#include <gtest/gtest.h>

#include <QImage>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSet>
#include <QSignalSpy>

#include <filesystem>
#include <functional>
#include <string>

#include "agent/ui/panel/PanelView.h"
#include "tests/support/PanelMirror.h"
#include "tests/support/PanelScene.h"
#include "tests/support/Prerequisite.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VirtualDisplay.h"

namespace tessary {
namespace {

using testing::PanelScene;
using testing::VirtualDisplay;
using testing::findProgram;

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
        TESSARY_SKIP_WITHOUT("Xvfb is not installed");
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

    const auto menuWithUpdate = [](const char* status) {
        return [status](PanelScene& s) {
            s.showMenu(true);
            s.driveUpdateLine(status);
        };
    };
    const Shot shots[] = {
        {"wizard-screen-a.png", [](PanelScene&) {}, 200},
        {"wizard-screen-b-error.png", [](PanelScene& s) { s.failPairing(); }, 280},
        {"menu-monitoring.png", [](PanelScene& s) { s.showMenu(true); }, 200},
        {"menu-not-connected.png", [](PanelScene& s) { s.showMenu(false); }, 200},
        {"update-idle.png", [](PanelScene& s) { s.showMenu(true); }, 200},
        {"update-checking.png", menuWithUpdate("checking"), 200},
        {"update-up-to-date.png", menuWithUpdate("upToDate"), 200},
        {"update-available.png", menuWithUpdate("available"), 200},
        {"update-downloading.png", menuWithUpdate("downloading"), 200},
        {"update-failed.png", menuWithUpdate("failed"), 200},
        {"wizard-up-to-date.png", [](PanelScene& s) { s.driveUpdateLine("upToDate"); }, 200},
    };

    for (const auto& shot : shots) {
        SCOPED_TRACE(shot.file);
        PanelScene scene;
        testing::PanelMirror mirror(scene.content());
        PanelView panel(mirror.content());
        shot.enter(scene);
        scene.settle();
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
