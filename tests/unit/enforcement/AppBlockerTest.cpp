#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "agent/enforcement/AppBlocker.h"
#include "tests/support/MemoryLogSink.h"
#include "tests/support/FakeRunningApplication.h"
#include "tests/unit/enforcement/RecordingEventChannel.h"

namespace tessary {
namespace {

using testing::FakeRunningApplication;
using testing::RecordingEventChannel;

class AppBlockerTest : public ::testing::Test {
protected:
    AppBlockerTest() { blocker->webSocketClient = channel; }

    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    std::shared_ptr<RecordingEventChannel> channel = std::make_shared<RecordingEventChannel>();
    std::vector<std::string> findings;
    std::shared_ptr<AppBlocker> blocker = std::make_shared<AppBlocker>(log, [this](const std::string& finding) { findings.push_back(finding); });
};

struct DecisionRow {
    const char* name;
    std::vector<std::string> blocked;
    std::vector<std::string> approved;
    std::string mode;
    std::string bundleId;
    bool blocks;
};

TEST_F(AppBlockerTest, DecisionsFollowModeAndExactIdentifiers)
{
    const std::vector<DecisionRow> rows = {
        {"allow blocks a listed identifier", {"com.game.Fun"}, {}, "allow", "com.game.Fun", true},
        {"allow leaves others alone", {"com.game.Fun"}, {}, "allow", "com.work.Editor", false},
        {"matching is case-sensitive", {"com.game.Fun"}, {}, "allow", "com.game.fun", false},
        {"no trimming", {"com.game.Fun"}, {}, "allow", " com.game.Fun", false},
        {"no prefix matching", {"com.game"}, {}, "allow", "com.game.Fun", false},
        {"allow ignores the approved list", {}, {"com.work.Editor"}, "allow", "com.game.Fun", false},
        {"deny blocks what is not approved", {}, {"com.work.Editor"}, "deny", "com.game.Fun", true},
        {"deny lets the approved run", {}, {"com.work.Editor"}, "deny", "com.work.Editor", false},
        {"deny approval is case-sensitive", {}, {"com.work.Editor"}, "deny", "com.work.editor", true},
        {"deny with no approvals blocks everything", {}, {}, "deny", "com.work.Editor", true},
        {"deny ignores the blocked list", {"com.work.Editor"}, {"com.work.Editor"}, "deny", "com.work.Editor", false},
        {"unknown mode behaves as allow", {"com.game.Fun"}, {}, "whitelist", "com.work.Editor", false},
        {"unknown mode still blocks the blocked list", {"com.game.Fun"}, {}, "whitelist", "com.game.Fun", true},
        {"capitalised Deny is not deny", {}, {}, "Deny", "com.work.Editor", false},
        {"empty mode behaves as allow", {}, {}, "", "com.work.Editor", false},
    };
    for (const auto& row : rows) {
        AppBlocker fresh(log, [](const std::string&) {});
        fresh.updateBlockedApps(row.blocked);
        fresh.updateApprovedApps(row.approved);
        fresh.mode = row.mode;
        EXPECT_EQ(fresh.shouldBlock(row.bundleId), row.blocks) << row.name;
    }
}

// An application carries the identifier it was launched under and the others its processes have:
// a program started in another application's unit, or a sandbox's ID. Each is judged.
TEST_F(AppBlockerTest, EveryIdentifierOfAnApplicationIsJudged)
{
    struct Row {
        const char* name;
        std::string mode;
        std::vector<std::string> identifiers;  // launched under the first
        std::optional<std::string> blockedAs;
    };
    const std::string game = "org.example.Game";
    const std::string calculator = "org.gnome.Calculator";
    const std::string flatpak = "com.example.Flat";
    const Row rows[] = {
        {"allow: a blocked program in an approved unit", "allow", {calculator, game}, game},
        {"allow: the unit blocked, the program not", "allow", {game, calculator}, game},
        {"allow: a blocked Flatpak under an unknown program", "allow", {"org.example.Shell", flatpak}, flatpak},
        {"allow: no identifier blocked", "allow", {calculator, "org.example.Other"}, std::nullopt},
        {"deny: an approved unit running an unapproved program", "deny", {calculator, game}, game},
        {"deny: an unapproved unit running an approved program", "deny", {"org.example.Other", calculator},
         "org.example.Other"},
        {"deny: every identifier approved", "deny", {calculator, "org.gnome.Calculator.Helper"}, std::nullopt},
        {"deny: one identifier, approved", "deny", {calculator}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        AppBlocker fresh(log, [this](const std::string& finding) { findings.push_back(finding); });
        fresh.webSocketClient = channel;
        fresh.updateBlockedApps({game, flatpak});
        fresh.updateApprovedApps({calculator, "org.gnome.Calculator.Helper"});
        fresh.mode = row.mode;
        findings.clear();
        channel->blockedLaunches.clear();
        FakeRunningApplication application(row.identifiers[0], "Launched As",
                                           {row.identifiers.begin() + 1, row.identifiers.end()});
        EXPECT_EQ(fresh.blockedIdentifier(application), row.blockedAs);
        fresh.checkAndBlock(application);
        EXPECT_EQ(application.terminations, row.blockedAs ? 1 : 0);
        if (!row.blockedAs) {
            EXPECT_TRUE(channel->blockedLaunches.empty());
            continue;
        }
        ASSERT_EQ(channel->blockedLaunches.size(), 1U);
        EXPECT_EQ(channel->blockedLaunches[0].first, *row.blockedAs) << "reported as what it is";
        const auto other = std::find_if(row.identifiers.begin(), row.identifiers.end(),
                                        [&](const std::string& id) { return id != *row.blockedAs; });
        EXPECT_EQ(findings, std::vector<std::string>{*row.blockedAs + " ran under the identity of " + *other})
            << "every blocked row carries two identifiers";
    }
}

TEST_F(AppBlockerTest, DuplicatesCollapseWhileTheLogCountsTheList)
{
    blocker->updateBlockedApps({"com.a", "com.b", "com.a"});
    blocker->updateApprovedApps({"com.c", "com.c"});
    EXPECT_TRUE(log->contains("AppBlocker updated: 3 blocked apps"));
    EXPECT_TRUE(log->contains("AppBlocker updated: 2 approved apps"));
    EXPECT_TRUE(blocker->shouldBlock("com.a"));
    EXPECT_TRUE(blocker->shouldBlock("com.b"));

    // A second update replaces the set rather than adding to it.
    blocker->updateBlockedApps({"com.b"});
    EXPECT_FALSE(blocker->shouldBlock("com.a"));
    EXPECT_TRUE(log->contains("AppBlocker updated: 1 blocked apps"));
}

TEST_F(AppBlockerTest, ApplicationWithoutNameIsReportedUnderItsIdentifier)
{
    blocker->updateBlockedApps({"com.game.Fun"});
    FakeRunningApplication game("com.game.Fun", std::nullopt);
    blocker->checkAndBlock(game);
    EXPECT_EQ(game.terminations, 1);
    EXPECT_TRUE(log->contains("Blocking app: com.game.Fun (com.game.Fun)"));
    ASSERT_EQ(channel->blockedLaunches.size(), 1U);
    EXPECT_EQ(channel->blockedLaunches[0].second, "com.game.Fun");
}

TEST_F(AppBlockerTest, ADecisionNeverSeesAHalfReplacedSet)
{
    // Every list holds "always"; a decision taken during a replacement must still find it.
    std::vector<std::string> first{"always"};
    std::vector<std::string> second;
    for (int i = 0; i < 300; ++i) {
        first.push_back("first." + std::to_string(i));
        second.push_back("second." + std::to_string(i));
    }
    second.push_back("always");
    blocker->updateBlockedApps(first);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 0; round < 200; ++round)
            blocker->updateBlockedApps(round % 2 == 0 ? first : second);
        done = true;
    });
    int decisions = 0;
    int missed = 0;
    while (!done || decisions < 1000) {
        if (!blocker->shouldBlock("always"))
            ++missed;
        ++decisions;
    }
    writer.join();
    EXPECT_EQ(missed, 0) << "of " << decisions << " decisions";
}

}  // namespace
}  // namespace tessary
