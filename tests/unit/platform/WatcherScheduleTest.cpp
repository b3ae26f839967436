#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/WatcherSchedule.h"

namespace tessary {
namespace {

using namespace std::chrono_literals;
using Wake = WatcherSchedule::Wake;

// Virtual time: steps are given in milliseconds after this.
const WatcherSchedule::TimePoint kStart{1h};
constexpr int kEventDriven = std::numeric_limits<int>::max();
constexpr int kScanOnly = 0;
constexpr bool kInotify = true;
constexpr bool kNoInotify = false;

enum class Tracker { idle, recent, unsettled };

// One wake-up: what woke the watcher, what the tracker then holds, what the schedule orders
// and the deadline it sets.
struct Step {
    int at;
    Wake wake;
    Tracker tracker;
    const char* does;
    int next;
};
struct Row {
    const char* name;
    // From this step on, executions do not wake the watcher.
    int scanOnlyFrom;
    bool watchesFolders;
    std::vector<Step> steps;
};

std::string describe(const WatcherSchedule::Actions& actions, const WatcherSchedule::RecentLook& look)
{
    std::string text;
    const auto add = [&text](bool on, const char* word) {
        if (on)
            text += (text.empty() ? "" : " ") + std::string(word);
    };
    add(actions.readIndex, "index");
    add(actions.list, "list");
    add(actions.recheckAll, "sweep");
    add(look.due && !look.checkUnits, "look");
    add(look.due && look.checkUnits, "look+units");
    return text.empty() ? "nothing" : text;
}

TEST(WatcherScheduleTest, OrdersEachWakeUpAndSetsTheNextDeadline)
{
    const Row rows[] = {
        {"an identifying exec sweeps now and at 1, 5, 25 ms", kEventDriven, kInotify, {
            {100, {.executed = true, .identifyingExec = true}, Tracker::recent, "sweep look", 101},
            {101, {}, Tracker::recent, "sweep", 105},
            {105, {}, Tracker::recent, "sweep look", 125},
            {125, {}, Tracker::idle, "sweep", 30000},
        }},
        {"another identifying exec starts the sweeps over", kEventDriven, kInotify, {
            {100, {.identifyingExec = true}, Tracker::idle, "sweep", 101},
            {103, {.identifyingExec = true}, Tracker::idle, "sweep", 104},
            {104, {}, Tracker::idle, "sweep", 108},
            {108, {}, Tracker::idle, "sweep", 128},
            {128, {}, Tracker::idle, "sweep", 30000},
        }},
        {"an exec looks at recent processes now, 5 ms later, and on while one is unsettled", kEventDriven, kInotify, {
            {100, {.executed = true}, Tracker::recent, "look", 105},
            {105, {}, Tracker::unsettled, "look", 110},
            {110, {}, Tracker::recent, "look", 30000},
            {200, {}, Tracker::recent, "nothing", 30000},
        }},
        {"a new unit looks at recent processes' units now and 5 and 50 ms later", kEventDriven, kInotify, {
            {100, {.newUnit = true}, Tracker::recent, "look+units", 105},
            {105, {}, Tracker::recent, "look+units", 150},
            {120, {.newUnit = true}, Tracker::recent, "look+units", 125},
            {125, {}, Tracker::recent, "look+units", 170},
            {170, {}, Tracker::idle, "nothing", 30000},
        }},
        {"scan-only looks every scan interval and sweeps every sweep interval", kScanOnly, kInotify, {
            {60, {}, Tracker::recent, "look", 120},
            {120, {}, Tracker::idle, "nothing", 180},
            {2000, {}, Tracker::idle, "sweep", 2060},
            {10000, {}, Tracker::recent, "list sweep look", 10060},
        }},
        {"event-driven lists and sweeps only every 30 s", kEventDriven, kInotify, {
            {29999, {}, Tracker::recent, "nothing", 30000},
            {30000, {}, Tracker::recent, "list sweep", 60000},
            {60000, {}, Tracker::idle, "list sweep", 90000},
        }},
        {"a stale index is read now and once more 2 s after the last change", kEventDriven, kInotify, {
            {100, {.indexStale = true}, Tracker::idle, "index", 2100},
            {1000, {.indexStale = true}, Tracker::idle, "index", 3000},
            {3000, {}, Tracker::idle, "index", 30000},
        }},
        {"overflow lists at once and the next listing is 30 s after it", kEventDriven, kInotify, {
            {100, {.overflow = true}, Tracker::idle, "list sweep", 30100},
        }},
        {"without inotify entries are read again with each listing", kScanOnly, kNoInotify, {
            {60, {}, Tracker::recent, "look+units", 120},
            {10000, {}, Tracker::idle, "index list sweep", 10060},
            {10060, {}, Tracker::idle, "nothing", 10120},
        }},
        {"a program folder lost at an index read turns to scan-only intervals at once", 30000, kInotify, {
            {30000, {.indexStale = true}, Tracker::idle, "index list sweep", 30060},
            {32000, {}, Tracker::idle, "index sweep", 32060},
            {40000, {}, Tracker::idle, "list sweep", 40060},
        }},
    };
    for (const auto& row : rows) {
        const auto scanOnly = [&row](int at) { return at >= row.scanOnlyFrom; };
        WatcherSchedule schedule({60ms, 2000ms, row.watchesFolders}, scanOnly(0), kStart);
        for (const auto& step : row.steps) {
            SCOPED_TRACE(std::string(row.name) + ", at " + std::to_string(step.at) + " ms");
            const auto now = kStart + std::chrono::milliseconds(step.at);
            const auto actions = schedule.wokeUp(step.wake, now);
            const auto look = schedule.lookAtRecent(scanOnly(step.at), step.tracker != Tracker::idle);
            schedule.settled(step.tracker == Tracker::unsettled);
            EXPECT_EQ(describe(actions, look), step.does);
            const auto deadline = schedule.deadline(now, scanOnly(step.at)) - kStart;
            EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(deadline).count(), step.next);
        }
    }
}

}  // namespace
}  // namespace tessary
