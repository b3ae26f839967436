#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "agent/core/LaunchDecision.h"

namespace tessary {
namespace {

using Action = LaunchDecision::Action;
using Request = LaunchDecision::Request;

// A world that answers each request at once and records them, in order.
struct ScriptedWorld {
    LaunchDecision::Settlement settle(LaunchOrigin origin)
    {
        LaunchDecision decision(origin);
        for (auto request = decision.request(); request != Request::none; request = decision.request()) {
            bool found = false;
            switch (request) {
            case Request::tryLock:
                calls.push_back("tryAcquire");
                held = held || lockFree;
                found = held;
                break;
            case Request::releaseLock:
                calls.push_back("release");
                held = false;
                break;
            case Request::keepAliveInstalled:
                calls.push_back("installed");
                found = installed;
                break;
            case Request::managerReady:
                calls.push_back("ready");
                found = ready;
                break;
            case Request::startKeepAliveAgent:
                calls.push_back("start");
                if (takenByStart)
                    lockFree = false;
                found = accepts;
                break;
            case Request::pause:
                calls.push_back("pause");
                if (freedAfterPauses && ++pauses == *freedAfterPauses)
                    lockFree = true;
                break;
            case Request::none: break;
            }
            decision.answer(found);
        }
        return decision.settlement();
    }

    std::size_t count(const std::string& call) const
    {
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
    }

    bool lockFree = true;
    bool held = false;
    bool installed = true;
    bool ready = true;
    bool accepts = true;
    // Another copy takes the lock once the start reaches the manager.
    bool takenByStart = false;
    // The copy holding the lock lets it go after this many pauses.
    std::optional<int> freedAfterPauses;
    int pauses = 0;
    std::vector<std::string> calls;
};

TEST(LaunchDecisionTest, DecidesWhichCopyRuns)
{
    struct Row {
        const char* name;
        LaunchOrigin origin;
        bool lockFree;
        bool installed;
        bool ready;
        Action action;
        bool showRunningInstance;
        int exitStatus;
    };
    constexpr auto unit = LaunchOrigin::keepAliveAgent;
    constexpr auto session = LaunchOrigin::session;
    constexpr auto person = LaunchOrigin::person;
    const Row rows[] = {
        {"unit copy, agent running throughout: leaves so the manager does not start it again", unit, false, true, true,
         Action::leave, false, 75},
        {"unit copy wins: runs under the manager", unit, true, true, true, Action::run, false, 0},
        {"unit copy wins, unit since removed", unit, true, false, false, Action::run, false, 0},
        {"autostart copy, agent running: leaves without a panel", session, false, true, true, Action::leave, false,
         0},
        {"autostart copy wins, unit ready: hands over", session, true, true, true, Action::handOver, false, 0},
        {"autostart copy wins, no unit: runs", session, true, false, true, Action::run, false, 0},
        {"autostart copy wins, manager not ready: runs", session, true, true, false, Action::run, false, 0},
        {"person's copy, agent running: asks for the panel and leaves", person, false, true, true, Action::leave,
         true, 0},
        {"person's copy wins, unit ready: hands over", person, true, true, true, Action::handOver, false, 0},
        {"person's copy wins, no unit: runs", person, true, false, false, Action::run, false, 0},
        {"person's copy wins, manager not ready: runs", person, true, true, false, Action::run, false, 0},
    };
    for (const auto& row : rows) {
        ScriptedWorld scripted;
        scripted.lockFree = row.lockFree;
        scripted.installed = row.installed;
        scripted.ready = row.ready;
        scripted.takenByStart = true;
        const auto settled = scripted.settle(row.origin);
        EXPECT_EQ(settled.action, row.action) << row.name;
        EXPECT_EQ(settled.showRunningInstance, row.showRunningInstance) << row.name;
        EXPECT_EQ(settled.exitStatus, row.exitStatus) << row.name;
        EXPECT_EQ(scripted.held, row.action == Action::run) << row.name;
    }
}

TEST(LaunchDecisionTest, AHandOverLetsTheLockGoBeforeTheStartAndLeavesOnceAnotherCopyTookIt)
{
    ScriptedWorld scripted;
    scripted.takenByStart = true;
    const auto settled = scripted.settle(LaunchOrigin::session);
    EXPECT_EQ(settled.action, Action::handOver);
    EXPECT_FALSE(settled.handOverRefused);
    EXPECT_FALSE(settled.handOverUnconfirmed);
    EXPECT_EQ(scripted.calls, (std::vector<std::string>{"tryAcquire", "installed", "ready", "release", "start",
                                                        "pause", "tryAcquire"}));
    EXPECT_FALSE(scripted.held);
}

TEST(LaunchDecisionTest, AHandOverNoCopyTakesUpRunsHere)
{
    // The start reached the manager while its earlier copy was still ending: nothing took the lock.
    ScriptedWorld scripted;
    const auto settled = scripted.settle(LaunchOrigin::session);
    EXPECT_EQ(settled.action, Action::run);
    EXPECT_TRUE(settled.handOverUnconfirmed);
    EXPECT_TRUE(scripted.held);
    EXPECT_EQ(scripted.count("pause"), static_cast<std::size_t>(LaunchDecision::kHandOverTries));
    EXPECT_EQ(scripted.count("start"), 1U);
}

TEST(LaunchDecisionTest, ARefusedHandOverTakesTheLockAgainAndRunsOrLeaves)
{
    for (const bool takenMeanwhile : {false, true}) {
        ScriptedWorld scripted;
        scripted.accepts = false;
        scripted.takenByStart = takenMeanwhile;
        const auto settled = scripted.settle(LaunchOrigin::person);
        EXPECT_EQ(settled.action, takenMeanwhile ? Action::leave : Action::run);
        EXPECT_EQ(settled.showRunningInstance, takenMeanwhile);
        EXPECT_TRUE(settled.handOverRefused);
        EXPECT_EQ(scripted.held, !takenMeanwhile);
        EXPECT_EQ(scripted.calls.back(), "tryAcquire");
    }
}

TEST(LaunchDecisionTest, TheUnitsCopyWaitsForALockAboutToBeHandedOver)
{
    struct Row {
        const char* name;
        std::optional<int> freedAfterPauses;
        Action action;
        int exitStatus;
    };
    const Row rows[] = {
        {"freed after a moment: runs", 3, Action::run, 0},
        {"freed at the last try: runs", LaunchDecision::kLockTries, Action::run, 0},
        {"never freed: leaves as a duplicate", std::nullopt, Action::leave, 75},
    };
    for (const auto& row : rows) {
        ScriptedWorld scripted;
        scripted.lockFree = false;
        scripted.freedAfterPauses = row.freedAfterPauses;
        const auto settled = scripted.settle(LaunchOrigin::keepAliveAgent);
        EXPECT_EQ(settled.action, row.action) << row.name;
        EXPECT_EQ(settled.exitStatus, row.exitStatus) << row.name;
        EXPECT_EQ(scripted.count("installed") + scripted.count("start"), 0U) << row.name;
    }
}

}  // namespace
}  // namespace tessary
