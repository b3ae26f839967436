#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/core/LaunchDecision.h"

namespace tessary {
namespace {

using Action = LaunchDecision::Action;

TEST(LaunchDecisionTest, DecidesWhichCopyRuns)
{
    struct Row {
        const char* name;
        LaunchOrigin origin;
        bool lockWon;
        bool keepAliveInstalled;
        bool managerReady;
        Action action;
        bool showRunningInstance;
        int exitStatus;
    };
    constexpr auto unit = LaunchOrigin::keepAliveAgent;
    constexpr auto session = LaunchOrigin::session;
    constexpr auto person = LaunchOrigin::person;
    const Row rows[] = {
        {"unit copy, agent running: leaves so the manager does not start it again", unit, false, true, true,
         Action::leave, false, 75},
        {"unit copy, agent running, manager not ready", unit, false, false, false, Action::leave, false, 75},
        {"unit copy wins: runs under the manager", unit, true, true, true, Action::run, false, 0},
        {"unit copy wins, unit since removed", unit, true, false, false, Action::run, false, 0},
        {"autostart copy, agent running: leaves without a panel", session, false, true, true, Action::leave, false,
         0},
        {"autostart copy wins, unit ready: hands over", session, true, true, true, Action::handOver, false, 0},
        {"autostart copy wins, no unit: runs", session, true, false, true, Action::run, false, 0},
        {"autostart copy wins, manager not ready: runs", session, true, true, false, Action::run, false, 0},
        {"person's copy, agent running: asks for the panel and leaves", person, false, true, true, Action::leave,
         true, 0},
        {"person's copy, agent running, no unit", person, false, false, false, Action::leave, true, 0},
        {"person's copy wins, unit ready: hands over", person, true, true, true, Action::handOver, false, 0},
        {"person's copy wins, no unit: runs", person, true, false, false, Action::run, false, 0},
        {"person's copy wins, manager not ready: runs", person, true, true, false, Action::run, false, 0},
    };
    for (const auto& row : rows) {
        const auto step = LaunchDecision::decide({row.origin, row.lockWon, row.keepAliveInstalled, row.managerReady});
        EXPECT_EQ(step.action, row.action) << row.name;
        EXPECT_EQ(step.showRunningInstance, row.showRunningInstance) << row.name;
        EXPECT_EQ(step.exitStatus, row.exitStatus) << row.name;
    }
}

// A world that records what settling asked of it, in order.
struct ScriptedWorld {
    LaunchDecision::World world()
    {
        return {[this] {
                    calls.push_back("tryAcquire");
                    held = held || lockFree;
                    return held;
                },
                [this] {
                    calls.push_back("release");
                    held = false;
                },
                [this] {
                    calls.push_back("installed");
                    return installed;
                },
                [this] {
                    calls.push_back("ready");
                    return ready;
                },
                [this] {
                    calls.push_back("start");
                    if (takenByStart)
                        lockFree = false;
                    return accepts;
                }};
    }

    bool lockFree = true;
    bool held = false;
    bool installed = true;
    bool ready = true;
    bool accepts = true;
    bool takenByStart = false;
    std::vector<std::string> calls;
};

TEST(LaunchDecisionTest, AHandOverLetsTheLockGoBeforeTheManagerStartsTheAgent)
{
    ScriptedWorld scripted;
    scripted.takenByStart = true;
    const auto settled = LaunchDecision::settle(LaunchOrigin::session, scripted.world());
    EXPECT_EQ(settled.action, Action::handOver);
    EXPECT_FALSE(settled.handOverRefused);
    EXPECT_EQ(scripted.calls, (std::vector<std::string>{"tryAcquire", "installed", "ready", "release", "start"}));
    EXPECT_FALSE(scripted.held);
}

TEST(LaunchDecisionTest, ARefusedHandOverTakesTheLockAgainAndRuns)
{
    ScriptedWorld scripted;
    scripted.accepts = false;
    const auto settled = LaunchDecision::settle(LaunchOrigin::person, scripted.world());
    EXPECT_EQ(settled.action, Action::run);
    EXPECT_TRUE(settled.handOverRefused);
    EXPECT_TRUE(scripted.held);
    EXPECT_EQ(scripted.calls.back(), "tryAcquire");
}

TEST(LaunchDecisionTest, ARefusedHandOverLeavesWhenAnotherCopyTookTheLockMeanwhile)
{
    ScriptedWorld scripted;
    scripted.accepts = false;
    scripted.takenByStart = true;
    const auto settled = LaunchDecision::settle(LaunchOrigin::person, scripted.world());
    EXPECT_EQ(settled.action, Action::leave);
    EXPECT_TRUE(settled.showRunningInstance);
    EXPECT_TRUE(settled.handOverRefused);
}

TEST(LaunchDecisionTest, OnlyACopyThatMightHandOverAsksAboutTheUnitAndTheManager)
{
    struct Row {
        const char* name;
        LaunchOrigin origin;
        bool lockFree;
        bool installed;
        std::vector<std::string> calls;
    };
    const Row rows[] = {
        {"a loser asks nothing more", LaunchOrigin::person, false, true, {"tryAcquire"}},
        {"the unit's own copy never hands over", LaunchOrigin::keepAliveAgent, true, true, {"tryAcquire"}},
        {"no unit: the manager is not asked", LaunchOrigin::session, true, false, {"tryAcquire", "installed"}},
    };
    for (const auto& row : rows) {
        ScriptedWorld scripted;
        scripted.lockFree = row.lockFree;
        scripted.installed = row.installed;
        (void)LaunchDecision::settle(row.origin, scripted.world());
        EXPECT_EQ(scripted.calls, row.calls) << row.name;
    }
}

}  // namespace
}  // namespace tessary
