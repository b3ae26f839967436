#include <gtest/gtest.h>

#include "agent/ui/panel/PanelView.h"

namespace tessary {
namespace {

TEST(PanelViewPlacementTest, SitsNextToTheIconAndStaysOnTheScreen)
{
    const QRect belowTopBar(0, 28, 1920, 1052);
    const QRect aboveBottomBar(0, 0, 1920, 1040);
    const struct {
        const char* name;
        QSize panel;
        QRect tray;
        QRect available;
        QPoint topLeft;
    } rows[] = {
        {"icon in a top bar: below it, centred on it", {200, 180}, {1800, 2, 22, 22}, belowTopBar, {1710, 28}},
        {"icon in a bottom bar: above the bar", {200, 180}, {1800, 1050, 22, 22}, aboveBottomBar, {1710, 860}},
        {"icon above the bottom edge inside the work area: just above it", {200, 180}, {900, 900, 20, 20},
         aboveBottomBar, {809, 716}},
        {"icon below the top edge inside the work area: just below it", {200, 180}, {900, 100, 20, 20}, belowTopBar,
         {809, 124}},
        {"icon at the right edge: pushed back onto the screen", {200, 180}, {1900, 2, 20, 20}, belowTopBar, {1720, 28}},
        {"icon at the left edge: pushed back onto the screen", {280, 300}, {0, 2, 22, 22}, belowTopBar, {0, 28}},
        {"unknown icon: centred on the work area", {200, 180}, QRect(), belowTopBar, {860, 464}},
        {"unknown icon, screen B: centred", {280, 260}, QRect(), aboveBottomBar, {820, 390}},
        {"second screen to the right", {200, 180}, {2500, 0, 24, 24}, {1920, 24, 1280, 1000}, {2411, 28}},
        {"panel taller than the screen keeps its top edge visible", {200, 1200}, {1800, 1050, 22, 22},
         aboveBottomBar, {1710, 0}},
    };
    for (const auto& row : rows) {
        const auto frame = PanelView::panelGeometry(row.panel, row.tray, row.available);
        EXPECT_EQ(frame.topLeft(), row.topLeft) << row.name;
        EXPECT_EQ(frame.size(), row.panel) << row.name;
    }
}

}  // namespace
}  // namespace tessary
