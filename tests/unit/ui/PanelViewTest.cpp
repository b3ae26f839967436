#include <gtest/gtest.h>

#include <QAccessible>
#include <QJsonObject>
#include <QAccessibleActionInterface>
#include <QKeyEvent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "agent/ui/PanelChannel.h"
#include "agent/ui/PanelProcess.h"
#include "agent/ui/panel/PanelView.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/PanelMirror.h"
#include "tests/support/PanelScene.h"
#include "tests/support/WaitUntil.h"

namespace tessary {
namespace {

using testing::PanelScene;
using testing::QtWarningCapture;
using namespace std::chrono_literals;

constexpr int kDeadlineMs = 5000;

// Checks the condition while running Qt's events, until it holds or the deadline passes.
bool eventually(const std::function<bool()>& condition, int limitMs = kDeadlineMs)
{
    QDeadlineTimer deadline(limitMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

void typeText(QWindow* window, const char* text)
{
    for (const char* key = text; *key; ++key)
        QTest::keyClick(window, *key);
}

// Accessibility as a running screen reader turns it on (controls then answer its actions), and
// off again after the test.
class ScreenReaderRunning {
public:
    ScreenReaderRunning() { QAccessible::setActive(true); }
    ~ScreenReaderRunning() { QAccessible::setActive(false); }
    ScreenReaderRunning(const ScreenReaderRunning&) = delete;
    ScreenReaderRunning& operator=(const ScreenReaderRunning&) = delete;
};

struct Control {
    QAccessible::Role role;
    QString name;
    QQuickItem* item;
    bool operator<(const Control& other) const { return std::tie(role, name) < std::tie(other.role, other.name); }
};

QString roleName(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::Button: return QStringLiteral("Button");
    case QAccessible::Link: return QStringLiteral("Link");
    case QAccessible::StaticText: return QStringLiteral("StaticText");
    case QAccessible::EditableText: return QStringLiteral("EditableText");
    default: return QString::number(role);
    }
}

// The visible items a screen reader announces with a name: buttons, links, texts, text fields.
std::vector<Control> visibleControls(QQuickItem* item)
{
    std::vector<Control> found;
    if (!item->isVisible())
        return found;
    if (auto* accessible = QAccessible::queryAccessibleInterface(item)) {
        const auto role = accessible->role();
        if (role == QAccessible::Button || role == QAccessible::Link || role == QAccessible::EditableText) {
            // A control is one thing to a screen reader: its label and background are parts of it.
            found.push_back({role, accessible->text(QAccessible::Name), item});
            return found;
        }
        if (role == QAccessible::StaticText)
            found.push_back({role, accessible->text(QAccessible::Name), item});
    }
    for (auto* child : item->childItems())
        for (auto& control : visibleControls(child))
            found.push_back(control);
    return found;
}

// The panel over the scene, shown and drawn once.
class PanelViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing::guiApplication();
        scene = std::make_unique<PanelScene>();
        mirror = std::make_unique<testing::PanelMirror>(scene->content());
        scene->settle();
        panel = std::make_unique<PanelView>(mirror->content());
    }

    void TearDown() override
    {
        panel.reset();
        mirror.reset();
        scene.reset();
    }

    void showAndDraw()
    {
        QSignalSpy drawn(panel.get(), &PanelView::firstFrameDrawn);
        panel->show(QRect());
        ASSERT_TRUE(drawn.wait(kDeadlineMs)) << "no frame drawn after show";
    }

    QQuickItem* root() const { return panel->window()->contentItem(); }

    std::vector<Control> controls() const
    {
        scene->settle();
        return visibleControls(root());
    }

    bool hasControl(QAccessible::Role role, const QString& name) const
    {
        const auto all = controls();
        return std::any_of(all.begin(), all.end(),
                           [&](const Control& found) { return found.role == role && found.name == name; });
    }

    Control control(QAccessible::Role role, const QString& name) const
    {
        for (const auto& candidate : controls())
            if (candidate.role == role && candidate.name == name)
                return candidate;
        ADD_FAILURE() << "no visible " << roleName(role).toStdString() << " named " << name.toStdString();
        return {role, name, nullptr};
    }

    void press(QAccessible::Role role, const QString& name)
    {
        auto found = control(role, name);
        ASSERT_NE(found.item, nullptr);
        auto* actions = QAccessible::queryAccessibleInterface(found.item)->actionInterface();
        ASSERT_NE(actions, nullptr) << name.toStdString() << " cannot be activated by a screen reader";
        actions->doAction(QAccessibleActionInterface::pressAction());
        scene->settle();
    }

    QString focusedName() const
    {
        auto* focused = panel->window()->activeFocusItem();
        if (!focused)
            return {};
        return QAccessible::queryAccessibleInterface(focused)->text(QAccessible::Name);
    }

    std::unique_ptr<PanelScene> scene;
    std::unique_ptr<testing::PanelMirror> mirror;
    std::unique_ptr<PanelView> panel;
};

// Every state the panel shows, each entered before the panel opens and while it is open.
struct PanelState {
    const char* name;
    std::function<void(PanelScene&)> enter;
    int width;
};

const std::vector<PanelState>& panelStates()
{
    static const std::vector<PanelState> states = {
        {"wizard, first screen", [](PanelScene&) {}, 200},
        {"wizard, update check under way", [](PanelScene& s) { s.driveUpdateLine("checking"); }, 200},
        {"wizard, up to date", [](PanelScene& s) { s.driveUpdateLine("upToDate"); }, 200},
        {"wizard, update available", [](PanelScene& s) { s.driveUpdateLine("available"); }, 200},
        {"wizard, check failed", [](PanelScene& s) { s.driveUpdateLine("failed"); }, 200},
        {"wizard, code entry", [](PanelScene& s) { s.openCodeEntry(); }, 280},
        {"wizard, five digits", [](PanelScene& s) { s.openCodeEntry(QStringLiteral("12345")); }, 280},
        {"wizard, pairing under way", [](PanelScene& s) { s.startPairing(); }, 280},
        {"wizard, pairing refused", [](PanelScene& s) { s.failPairing(); }, 280},
        {"wizard, back from code entry with an error",
         [](PanelScene& s) {
             s.failPairing();
             s.content().wizard()->setShowingSetup(false);
         },
         200},
        {"menu, monitoring", [](PanelScene& s) { s.showMenu(true); }, 200},
        {"menu, not connected", [](PanelScene& s) { s.showMenu(false); }, 200},
        {"menu, update check under way",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("checking");
         },
         200},
        {"menu, up to date",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("upToDate");
         },
         200},
        {"menu, update available",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("available");
         },
         200},
        {"menu, downloading",
         [](PanelScene& s) {
             s.showMenu(false);
             s.driveUpdateLine("downloading");
         },
         200},
        {"menu, check failed",
         [](PanelScene& s) {
             s.showMenu(false);
             s.driveUpdateLine("failed");
         },
         200},
        {"menu, then reset back to the wizard",
         [](PanelScene& s) {
             s.showMenu(false);
             s.content().menu()->reset();
             s.settle();
         },
         200},
        {"wizard, then paired into the menu",
         [](PanelScene& s) {
             s.startPairing();
             s.fake.http->reply("api/use-setup-code", 200, R"({"success":true,"familyId":"family-1","token":"t"})");
             s.settle();
         },
         200},
    };
    return states;
}

// Entered while open, the window follows the content; opened in it, it starts at its width.
TEST_F(PanelViewTest, EveryStateLoadsWithoutAWarningWhenEnteredWhileOpenOrOpenedInIt)
{
    for (const bool enteredWhileOpen : {true, false}) {
        for (const auto& state : panelStates()) {
            SCOPED_TRACE(std::string(state.name) + (enteredWhileOpen ? ", entered while open" : ", opened in it"));
            TearDown();
            SetUp();
            QtWarningCapture warnings;
            if (enteredWhileOpen)
                showAndDraw();
            state.enter(*scene);
            if (!enteredWhileOpen)
                showAndDraw();
            scene->settle();
            if (enteredWhileOpen) {
                EXPECT_TRUE(eventually([&] { return panel->window()->width() == state.width; }))
                    << "width " << panel->window()->width();
                EXPECT_EQ(panel->window()->height(), qRound(root()->childItems().front()->height()));
            } else {
                EXPECT_EQ(panel->window()->width(), state.width);
            }
            EXPECT_TRUE(warnings.messages().isEmpty()) << warnings.joined().toStdString();
        }
    }
}

TEST_F(PanelViewTest, EachControlIsNamedByItsVisibleTextAndTheCodeFieldAsSetupCode)
{
    const struct {
        const char* name;
        std::function<void(PanelScene&)> enter;
        std::set<std::pair<QAccessible::Role, QString>> expected;
    } screens[] = {
        {"wizard, first screen",
         [](PanelScene&) {},
         {{QAccessible::StaticText, QStringLiteral("Tessary")},
          {QAccessible::StaticText, QStringLiteral("Not monitoring this account")},
          {QAccessible::StaticText,
           QStringLiteral("To start monitoring, log into your child's account and tap Setup.")},
          {QAccessible::Link, QStringLiteral("Setup")},
          {QAccessible::Link, QStringLiteral("Check for Update")},
          {QAccessible::StaticText, QStringLiteral("v1.2.0 (42)")}}},
        {"wizard, pairing refused",
         [](PanelScene& s) { s.failPairing(); },
         {{QAccessible::Link, QStringLiteral("Back")},
          {QAccessible::StaticText, QStringLiteral("Enter the 6-digit setup code\nfrom the parent dashboard")},
          {QAccessible::EditableText, QStringLiteral("Setup code")},
          {QAccessible::StaticText,
           QStringLiteral("Setup failed: The operation couldn’t be completed. "
                          "(APIError.requestFailed(statusCode: 400))")},
          {QAccessible::Button, QStringLiteral("Connect")}}},
        {"menu, not connected, update available",
         [](PanelScene& s) {
             s.showMenu(false);
             s.driveUpdateLine("available");
         },
         {{QAccessible::StaticText, QStringLiteral("Not connected")},
          {QAccessible::Link, QStringLiteral("Install Update")},
          {QAccessible::StaticText, QStringLiteral("v1.2.0 (42) — update available")},
          {QAccessible::Button, QStringLiteral("Reset Setup")}}},
        {"menu, monitoring, up to date",
         [](PanelScene& s) {
             s.showMenu(true);
             s.driveUpdateLine("upToDate");
         },
         {{QAccessible::StaticText, QStringLiteral("Monitoring active")},
          {QAccessible::Link, QStringLiteral("Check for Update")},
          {QAccessible::StaticText, QStringLiteral("v1.2.0 (42) — up to date")}}},
    };
    ScreenReaderRunning screenReader;
    for (const auto& screen : screens) {
        SCOPED_TRACE(screen.name);
        TearDown();
        SetUp();
        screen.enter(*scene);
        showAndDraw();
        std::set<std::pair<QAccessible::Role, QString>> named;
        for (const auto& found : controls()) {
            named.insert({found.role, found.name});
            const auto visibleText = found.item->property("text").toString();
            if (found.role == QAccessible::EditableText)
                EXPECT_EQ(found.name, QStringLiteral("Setup code")) << "the code field";
            else
                EXPECT_EQ(found.name, visibleText) << roleName(found.role).toStdString() << " showing "
                                                   << visibleText.toStdString();
        }
        for (const auto& wanted : screen.expected)
            EXPECT_TRUE(named.contains(wanted))
                << "missing " << roleName(wanted.first).toStdString() << " " << wanted.second.toStdString();
    }
}

TEST_F(PanelViewTest, LinksAndButtonsActOnAScreenReaderPress)
{
    ScreenReaderRunning screenReader;
    showAndDraw();
    press(QAccessible::Link, QStringLiteral("Setup"));
    EXPECT_TRUE(scene->content().wizard()->showingSetup());
    press(QAccessible::Link, QStringLiteral("Back"));
    EXPECT_FALSE(scene->content().wizard()->showingSetup());
    press(QAccessible::Link, QStringLiteral("Check for Update"));
    EXPECT_EQ(scene->updateLineStatus(), QStringLiteral("checking"));

    scene->showMenu(false);
    press(QAccessible::Button, QStringLiteral("Reset Setup"));
    EXPECT_FALSE(scene->content().isSetUp()) << "the reset button returns to the wizard";
    EXPECT_TRUE(eventually([&] { return hasControl(QAccessible::Link, QStringLiteral("Setup")); }));
}

TEST_F(PanelViewTest, TheEngineIsBuiltOnlyWhenThePanelFirstOpens)
{
    EXPECT_EQ(panel->window(), nullptr);
    EXPECT_FALSE(panel->isVisible());
    showAndDraw();
    ASSERT_NE(panel->window(), nullptr);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->window()->flags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(panel->window()->flags().testFlag(Qt::WindowStaysOnTopHint));
}

TEST_F(PanelViewTest, ShowingTheCodeEntryFocusesTheCodeFieldEachTime)
{
    showAndDraw();
    scene->openCodeEntry();
    EXPECT_TRUE(eventually([&] { return focusedName() == QStringLiteral("Setup code"); })) << focusedName().toStdString();
    press(QAccessible::Link, QStringLiteral("Back"));
    press(QAccessible::Link, QStringLiteral("Setup"));
    EXPECT_TRUE(eventually([&] { return focusedName() == QStringLiteral("Setup code"); })) << focusedName().toStdString();

    panel->hide();
    scene->content().wizard()->setShowingSetup(false);
    scene->settle();
    TearDown();
    SetUp();
    scene->openCodeEntry();
    showAndDraw();
    EXPECT_TRUE(eventually([&] { return focusedName() == QStringLiteral("Setup code"); }))
        << "a panel opened on the code entry starts in the field";
}

TEST_F(PanelViewTest, TypingKeepsOnlyDigitsAndReturnSubmits)
{
    showAndDraw();
    scene->openCodeEntry();
    ASSERT_TRUE(eventually([&] { return focusedName() == QStringLiteral("Setup code"); }));
    auto* field = panel->window()->activeFocusItem();

    typeText(panel->window(), "12-34 5");
    scene->settle();
    EXPECT_EQ(field->property("text").toString(), QStringLiteral("12345"));
    EXPECT_EQ(scene->content().wizard()->code(), QStringLiteral("12345"));
    EXPECT_FALSE(control(QAccessible::Button, QStringLiteral("Connect")).item->isEnabled());
    QTest::keyClick(panel->window(), Qt::Key_Return);
    scene->settle();
    EXPECT_EQ(scene->fake.http->count("api/use-setup-code"), 0U) << "Return with five digits does nothing";

    typeText(panel->window(), "678");
    scene->settle();
    EXPECT_EQ(field->property("text").toString(), QStringLiteral("123456")) << "a seventh digit is undone";
    EXPECT_TRUE(control(QAccessible::Button, QStringLiteral("Connect")).item->isEnabled());
    QTest::keyClick(panel->window(), Qt::Key_Return);
    scene->settle();
    EXPECT_TRUE(scene->content().wizard()->isSubmitting());
    EXPECT_EQ(scene->fake.http->count("api/use-setup-code"), 1U);
    EXPECT_FALSE(control(QAccessible::Button, QStringLiteral("Connect")).item->isEnabled())
        << "no second submission while one is in flight";
}

TEST_F(PanelViewTest, EscapeClosesThePanelAlsoFromTheCodeField)
{
    showAndDraw();
    QTest::keyClick(panel->window(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());

    showAndDraw();
    scene->openCodeEntry(QStringLiteral("12"));
    ASSERT_TRUE(eventually([&] { return focusedName() == QStringLiteral("Setup code"); }));
    QTest::keyClick(panel->window(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(scene->content().wizard()->code(), QStringLiteral("12")) << "closing keeps what was typed";
}

TEST_F(PanelViewTest, ToggleOpensAClosedPanelAndClosesAnOpenOne)
{
    QSignalSpy drawn(panel.get(), &PanelView::firstFrameDrawn);
    panel->toggle(QRect());
    EXPECT_TRUE(panel->isVisible());
    ASSERT_TRUE(drawn.wait(kDeadlineMs));
    panel->toggle(QRect());
    EXPECT_FALSE(panel->isVisible());
    panel->toggle(QRect());
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(drawn.count() == 2 || drawn.wait(kDeadlineMs)) << "each show reports its first frame";
}

TEST_F(PanelViewTest, LosingActivationClosesThePanelAndTheClickOnTheIconDoesNotReopenIt)
{
    showAndDraw();
    ASSERT_TRUE(eventually([&] { return panel->window()->isActive(); })) << "the panel never became the active window";
    QWindow elsewhere;
    elsewhere.resize(50, 50);
    elsewhere.show();
    elsewhere.requestActivate();
    EXPECT_TRUE(eventually([&] { return !panel->isVisible(); }));

    panel->toggle(QRect());
    EXPECT_FALSE(panel->isVisible()) << "the click that took the activation away was the icon's";
    panel->toggle(QRect());
    EXPECT_TRUE(panel->isVisible());
}

TEST_F(PanelViewTest, ThePanelIsCentredWhenNoIconIsKnown)
{
    showAndDraw();
    const auto available = panel->window()->screen()->availableGeometry();
    EXPECT_EQ(panel->window()->geometry(),
              PanelView::panelGeometry(panel->window()->size(), QRect(), available));
}

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

// The agent's side of the channel takes from the panel only what the panel's controls can do:
// anything else, however it arrives, changes nothing and leaves the channel working.
TEST(PanelMirrorTest, APanelCanOnlyWriteWritablePropertiesAndCallInvokableMethods)
{
    testing::guiApplication();
    PanelScene scene;
    testing::PanelMirror mirror(scene.content());
    scene.settle();
    // The root is published first, then what it shows: the wizard, then the wizard's update line.
    constexpr int kWizard = 2;
    auto request = [](const char* op, int object, const char* member, QJsonValue value = {}) {
        QJsonObject message{{QStringLiteral("op"), QLatin1String(op)}, {QStringLiteral("object"), object}};
        message.insert(QLatin1String(std::strcmp(op, "set") == 0 ? "property" : "method"), QLatin1String(member));
        if (!value.isUndefined())
            message.insert(QStringLiteral("value"), value);
        return message;
    };
    const std::vector<std::pair<const char*, QJsonObject>> refused{
        {"QObject's own property", request("set", kWizard, "objectName", QStringLiteral("x"))},
        {"a read-only property", request("set", kWizard, "isSubmitting", true)},
        {"a property that does not exist", request("set", kWizard, "token", QStringLiteral("x"))},
        {"a number for a string", request("set", kWizard, "code", 123456)},
        {"a string for a boolean", request("set", kWizard, "showingSetup", QStringLiteral("true"))},
        {"QObject's own slot", request("call", kWizard, "deleteLater")},
        {"a setter that is not invokable", request("call", kWizard, "setCode")},
        {"a signal", request("call", kWizard, "codeFocusRequested")},
        {"an object never published", request("call", 999, "submit")},
        {"no object", QJsonObject{{QStringLiteral("op"), QStringLiteral("call")}, {QStringLiteral("method"), QStringLiteral("submit")}}},
        {"an unknown request", request("eval", kWizard, "submit")},
    };
    for (const auto& [why, message] : refused) {
        SCOPED_TRACE(why);
        ASSERT_TRUE(mirror.panelEnd().send(message));
        scene.settle();
        auto* wizard = scene.content().wizard();
        ASSERT_NE(wizard, nullptr);
        EXPECT_EQ(wizard->objectName(), QString());
        EXPECT_FALSE(wizard->isSubmitting());
        EXPECT_FALSE(wizard->showingSetup());
        EXPECT_EQ(wizard->code(), QString());
    }
    // Datagrams that are not one JSON object, or too large to read whole, are refused too.
    int panelEnd[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, panelEnd), 0);
    PanelChannel agentSide{ScopedFd(panelEnd[0])};
    ScopedFd rawPanel(panelEnd[1]);
    QStringList malformed;
    QObject::connect(&agentSide, &PanelChannel::malformed, [&](const QString& reason) { malformed.append(reason); });
    for (const std::string& datagram :
         {std::string("not json"), std::string("[1, 2]"), std::string(PanelChannel::kLargestMessage + 10, ' ')})
        ASSERT_EQ(::send(rawPanel.get(), datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
    EXPECT_TRUE(eventually([&] { return malformed.size() == 3; })) << malformed.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(agentSide.isOpen());

    // What the wizard's controls do still works after all of it.
    ASSERT_TRUE(mirror.panelEnd().send(request("set", kWizard, "showingSetup", true)));
    ASSERT_TRUE(mirror.panelEnd().send(request("set", kWizard, "code", QStringLiteral("12a3456"))));
    ASSERT_TRUE(mirror.panelEnd().send(request("call", kWizard, "submit")));
    scene.settle();
    EXPECT_TRUE(scene.content().wizard()->isSubmitting());
    EXPECT_EQ(scene.fake.http->count("api/use-setup-code"), 1U);
}

// The panel's process starts at the first open, comes back after a crash, and ends once the panel
// has been closed for its idle lifetime, collected so that no zombie is left.
TEST(PanelProcessTest, ThePanelsProcessStartsAtTheFirstOpenComesBackAfterACrashAndEndsWhenClosed)
{
    testing::guiApplication();
    PanelScene scene;
    auto log = std::make_shared<MemoryLogSink>();
    PanelProcess panel(scene.content(), TESSARY_PANEL_PROGRAM_PATH, Logger(log, "app.brenmoor.tessary", "app"),
                       std::chrono::milliseconds(300));
    auto panelProcess = [] { return testing::childRunning(::getpid(), PanelProcess::kProgramFileName); };
    EXPECT_EQ(panelProcess(), 0) << "nothing runs before the first open";

    QSignalSpy drawn(&panel, &PanelProcess::firstFrameDrawn);
    panel.show(QRect());
    ASSERT_TRUE(drawn.wait(kDeadlineMs)) << "the panel's process drew no frame";
    const pid_t first = panelProcess();
    ASSERT_NE(first, 0);

    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return log->contains("The panel's process ended unexpectedly"); }));
    EXPECT_TRUE(eventually([&] { return ::kill(first, 0) != 0; })) << "the crashed process was never collected";
    panel.show(QRect());
    ASSERT_TRUE(drawn.wait(kDeadlineMs)) << "no panel after the crash";
    const pid_t second = panelProcess();
    EXPECT_NE(second, 0);

    panel.hide();
    EXPECT_TRUE(eventually([&] { return panelProcess() == 0 && ::kill(second, 0) != 0; }))
        << "the closed panel's process did not end";
    EXPECT_EQ(log->count("The panel's process ended unexpectedly"), 1U) << "an idle end is no crash";
}

}  // namespace
}  // namespace tessary
