#pragma once

#include <chrono>
#include <vector>

namespace tessary {

// When the application watcher lists /proc, reads every process again, looks at recent
// processes and reads the desktop-entry index again. Told what woke the watcher, what the
// tracker holds and the time, it answers what to do and when to wake next; it reads no clock,
// so it runs in virtual time. A wake-up is three calls, in order: wokeUp; lookAtRecent once
// the index is read and processes are found and swept; settled once recent ones are looked at.
class WatcherSchedule {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Settings {
        // Without exec wake-ups: how often new processes are looked for, and how often every
        // process is read again for an exec.
        std::chrono::milliseconds scanInterval;
        std::chrono::milliseconds sweepInterval;
        // inotify is available: changes of entries and new units wake the watcher.
        bool watchesFolders;
    };
    struct Wake {
        bool newUnit = false;
        bool indexStale = false;
        bool executed = false;
        // An exec of a program that identifies an application, or exec events were lost.
        bool identifyingExec = false;
        bool overflow = false;
    };
    struct Actions {
        bool readIndex = false;
        // List /proc, rather than read only the PIDs handed out since the last look.
        bool list = false;
        // Read every process again for an exec.
        bool recheckAll = false;
    };
    struct RecentLook {
        bool due = false;
        // The launcher may have moved a recent process into its unit since.
        bool checkUnits = false;
    };

    // scanOnly: executions do not wake the watcher, so it looks for them on a timer.
    WatcherSchedule(Settings settings, bool scanOnly, TimePoint now);

    // When to wake at the latest, whatever else happens.
    TimePoint deadline(TimePoint now, bool scanOnly) const;
    Actions wokeUp(const Wake& wake, TimePoint now);
    // scanOnly is asked again: reading the index may have watched or lost a program folder.
    RecentLook lookAtRecent(bool scanOnly, bool hasRecent);
    // unsettled: a recent process was read in the middle of an exec.
    void settled(bool unsettled);

private:
    std::chrono::milliseconds sweepInterval(bool scanOnly) const;

    Settings settings_;
    TimePoint nextListing_;
    TimePoint nextSweep_;
    TimePoint indexReadAt_;
    std::vector<TimePoint> sweepsAt_;
    TimePoint lookAt_;
    std::vector<TimePoint> unitLooksAt_;
    // The wake-up being handled, between its three calls.
    Wake wake_;
    TimePoint now_;
    Actions actions_;
};

}  // namespace tessary
