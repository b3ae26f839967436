#include "platform/linux/WatcherSchedule.h"

#include <algorithm>
#include <array>

namespace tessary {
namespace {

using std::chrono::milliseconds;

constexpr auto kNever = WatcherSchedule::TimePoint::max();
// An exec is reported as it opens the program, before the image is replaced: look again shortly.
constexpr std::array<milliseconds, 3> kLooksAfterExecution{milliseconds(1), milliseconds(5), milliseconds(25)};
constexpr milliseconds kAfterExecution{5};
// A launcher moves its child into a new unit just after creating it, or a moment later.
constexpr std::array<milliseconds, 2> kLooksAfterNewUnit{milliseconds(5), milliseconds(50)};
// /proc is listed now and then to forget processes that left unnoticed; with exec
// notifications, this and a re-read of every process are only a safety net.
constexpr std::chrono::seconds kListingInterval{10};
constexpr std::chrono::seconds kSafetyInterval{30};
// A package lands its entry and its program over a moment: the index is read again after it.
constexpr std::chrono::seconds kSecondIndexRead{2};

milliseconds listingInterval(bool scanOnly)
{
    return scanOnly ? milliseconds(kListingInterval) : kSafetyInterval;
}

// Takes out the times that have come; whether there were any.
bool takeDue(std::vector<WatcherSchedule::TimePoint>& times, WatcherSchedule::TimePoint now)
{
    return std::erase_if(times, [now](WatcherSchedule::TimePoint at) { return at <= now; }) > 0;
}

}  // namespace

WatcherSchedule::WatcherSchedule(Settings settings, bool scanOnly, TimePoint now)
    : settings_(settings),
      nextListing_(now + listingInterval(scanOnly)),
      nextSweep_(now + sweepInterval(scanOnly)),
      indexReadAt_(kNever),
      lookAt_(kNever),
      now_(now)
{
}

WatcherSchedule::TimePoint WatcherSchedule::deadline(TimePoint now, bool scanOnly) const
{
    auto deadline = std::min({nextListing_, nextSweep_, indexReadAt_, lookAt_});
    if (scanOnly)
        deadline = std::min(deadline, now + settings_.scanInterval);
    for (const auto& at : unitLooksAt_)
        deadline = std::min(deadline, at);
    for (const auto& at : sweepsAt_)
        deadline = std::min(deadline, at);
    return deadline;
}

WatcherSchedule::Actions WatcherSchedule::wokeUp(const Wake& wake, TimePoint now)
{
    wake_ = wake;
    now_ = now;
    actions_ = {};
    // Without inotify, entries installed since are found with each listing.
    actions_.readIndex = wake.indexStale || indexReadAt_ <= now || (!settings_.watchesFolders && now >= nextListing_);
    if (actions_.readIndex)
        indexReadAt_ = wake.indexStale ? now + kSecondIndexRead : kNever;
    actions_.list = now >= nextListing_ || wake.overflow;
    const bool sweepDue = takeDue(sweepsAt_, now);
    actions_.recheckAll = wake.identifyingExec || sweepDue || actions_.list || now >= nextSweep_;
    if (wake.identifyingExec) {
        sweepsAt_.clear();
        for (const auto delay : kLooksAfterExecution)
            sweepsAt_.push_back(now + delay);
    }
    return actions_;
}

WatcherSchedule::RecentLook WatcherSchedule::lookAtRecent(bool scanOnly, bool hasRecent)
{
    if (actions_.list)
        nextListing_ = now_ + listingInterval(scanOnly);
    if (actions_.recheckAll)
        nextSweep_ = now_ + sweepInterval(scanOnly);

    const bool lookDue = lookAt_ <= now_;
    if (lookDue)
        lookAt_ = kNever;
    const bool unitLookDue = takeDue(unitLooksAt_, now_);
    if (wake_.newUnit) {
        unitLooksAt_.clear();
        for (const auto delay : kLooksAfterNewUnit)
            unitLooksAt_.push_back(now_ + delay);
    }
    RecentLook look;
    look.due = hasRecent && (scanOnly || wake_.executed || wake_.newUnit || lookDue || unitLookDue);
    look.checkUnits = !settings_.watchesFolders || wake_.newUnit || unitLookDue;
    return look;
}

void WatcherSchedule::settled(bool unsettled)
{
    // A process read mid-exec must be read again, and one just exec'd may be: look again soon.
    if (wake_.executed || unsettled)
        lookAt_ = now_ + kAfterExecution;
}

std::chrono::milliseconds WatcherSchedule::sweepInterval(bool scanOnly) const
{
    return scanOnly ? settings_.sweepInterval : kSafetyInterval;
}

}  // namespace tessary
