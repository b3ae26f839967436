#include "platform/linux/ApplicationWatcher.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tessary {
namespace {

constexpr std::chrono::milliseconds kAfterExecution{5};
constexpr std::chrono::seconds kListingInterval{10};
constexpr pid_t kLargestProbe = 4096;

bool sameObserver(const std::weak_ptr<WorkspaceObserver>& a, const std::weak_ptr<WorkspaceObserver>& b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

ApplicationWatcher::Settings ApplicationWatcher::sessionSettings(const std::filesystem::path& agentBundle,
                                                                 const std::string& agentId)
{
    Settings settings;
    settings.exclusions.uid = ::getuid();
    settings.exclusions.agentPid = ::getpid();
    settings.exclusions.agentBundle = agentBundle;
    settings.exclusions.agentIds = {agentId};
    const char* path = std::getenv("PATH");
    settings.searchPath = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    return settings;
}

ApplicationWatcher::ApplicationWatcher(std::shared_ptr<MainQueue> mainQueue, const Paths& paths, Settings settings)
    : mainQueue_(std::move(mainQueue)),
      settings_(std::move(settings)),
      proc_(paths.procRoot),
      classifier_(settings_.exclusions, settings_.searchPath),
      tracker_(proc_, classifier_, settings_.recentPeriod),
      observers_(std::make_shared<ObserverList>())
{
    roots_.dataDirs.push_back(paths.dataHome);
    roots_.dataDirs.insert(roots_.dataDirs.end(), paths.dataDirs.begin(), paths.dataDirs.end());
    roots_.configDirs = {paths.configHome, paths.systemConfigDir};
    roots_.searchPath = settings_.searchPath;
    const std::string uid = std::to_string(settings_.exclusions.uid);
    unitsRoot_ = paths.cgroupRoot / "user.slice" / ("user-" + uid + ".slice") / ("user@" + uid + ".service") / "app.slice";

    classifier_.setIndex(DesktopEntryIndex::load(roots_));
    // Read before the first scan, so nothing created during it goes unnoticed.
    lastPid_ = proc_.lastCreatedPid();
    std::vector<ApplicationTracker::Change> ignored;
    tracker_.scan(ignored);
    nextListing_ = std::chrono::steady_clock::now() + kListingInterval;

    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (settings_.eventTriggers)
        setUpTriggers();
    thread_ = std::thread([this] { run(); });
}

ApplicationWatcher::~ApplicationWatcher()
{
    stopping_ = true;
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake_, &one, sizeof one));
    thread_.join();
    for (const int fd : {wake_, inotify_, fanotify_})
        if (fd >= 0)
            ::close(fd);
}

void ApplicationWatcher::addObserver(std::weak_ptr<WorkspaceObserver> observer)
{
    observers_->push_back(std::move(observer));
}

void ApplicationWatcher::removeObserver(const WorkspaceObserver* observer)
{
    std::erase_if(*observers_, [observer](const std::weak_ptr<WorkspaceObserver>& held) {
        const auto live = held.lock();
        return !live || live.get() == observer;
    });
}

void ApplicationWatcher::setUpTriggers()
{
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ >= 0) {
        watchUnitFolder(unitsRoot_);
        for (const auto& dataDir : roots_.dataDirs) {
            const int wd = ::inotify_add_watch(inotify_, (dataDir / "applications").c_str(),
                                               IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE);
            if (wd >= 0)
                watches_[wd] = Watch{WatchKind::entries, dataDir / "applications"};
        }
    }
    // Unprivileged fanotify (Linux 5.13+) allows inode marks reporting file handles; the
    // event's PID is withheld from us, so an execution only wakes the scan.
    fanotify_ = ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY);
    if (fanotify_ >= 0)
        markProgramFolders();
}

void ApplicationWatcher::watchUnitFolder(const std::filesystem::path& folder)
{
    const int wd = ::inotify_add_watch(inotify_, folder.c_str(), IN_CREATE | IN_ONLYDIR);
    if (wd < 0)
        return;
    watches_[wd] = Watch{WatchKind::units, folder};
    // Launchers may group units in sub-slices ("app-<ID>.slice").
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().extension() == ".slice" && it->is_directory(error))
            watchUnitFolder(it->path());
}

void ApplicationWatcher::markProgramFolders()
{
    std::vector<std::filesystem::path> folders;
    std::size_t start = 0;
    const auto& searchPath = settings_.searchPath;
    while (start < searchPath.size()) {
        auto end = searchPath.find(':', start);
        if (end == std::string::npos)
            end = searchPath.size();
        if (end > start)
            folders.emplace_back(searchPath.substr(start, end - start));
        start = end + 1;
    }
    for (const auto& folder : classifier_.index().programFolders())
        folders.push_back(folder);
    for (const auto& folder : folders) {
        if (std::find(markedFolders_.begin(), markedFolders_.end(), folder) != markedFolders_.end())
            continue;
        if (::fanotify_mark(fanotify_, FAN_MARK_ADD, FAN_OPEN_EXEC | FAN_EVENT_ON_CHILD, AT_FDCWD, folder.c_str()) == 0)
            markedFolders_.push_back(folder);
    }
    if (markedFolders_.empty()) {
        ::close(fanotify_);
        fanotify_ = -1;
    }
}

bool ApplicationWatcher::readInotify(bool& indexStale)
{
    bool newUnit = false;
    alignas(inotify_event) std::array<char, 8192> buffer{};
    while (true) {
        const ssize_t got = ::read(inotify_, buffer.data(), buffer.size());
        if (got <= 0)
            return newUnit;
        for (std::size_t offset = 0; offset < static_cast<std::size_t>(got);) {
            inotify_event event{};
            std::copy_n(buffer.data() + offset, sizeof event, reinterpret_cast<char*>(&event));
            const std::string name(event.len > 0 ? buffer.data() + offset + sizeof event : "");
            offset += sizeof event + event.len;
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                indexStale = true;
                newUnit = true;
                continue;
            }
            const auto watch = watches_.find(event.wd);
            if (watch == watches_.end())
                continue;
            if (watch->second.kind == WatchKind::entries) {
                indexStale = true;
                continue;
            }
            newUnit = true;
            if (name.ends_with(".slice"))
                watchUnitFolder(watch->second.folder / name);
        }
    }
}

void ApplicationWatcher::drainFanotify()
{
    alignas(fanotify_event_metadata) std::array<char, 4096> buffer{};
    while (::read(fanotify_, buffer.data(), buffer.size()) > 0) {
    }
}

void ApplicationWatcher::run()
{
    bool soon = false;
    bool recheckPending = false;
    std::vector<pollfd> descriptors;
    while (true) {
        descriptors.clear();
        for (const int fd : {wake_, inotify_, fanotify_})
            descriptors.push_back(pollfd{fd, POLLIN, 0});
        for (const int fd : tracker_.exitDescriptors())
            descriptors.push_back(pollfd{fd, POLLIN, 0});
        const auto timeout = soon ? kAfterExecution : settings_.scanInterval;
        soon = false;
        const int ready = ::poll(descriptors.data(), descriptors.size(), static_cast<int>(timeout.count()));
        if (stopping_)
            return;

        std::vector<ApplicationTracker::Change> changes;
        bool indexStale = false;
        // Without exec notifications every look checks the recent processes for an exec; with
        // them, only a look that follows one does.
        bool executed = fanotify_ < 0 || recheckPending;
        bool unitsChanged = inotify_ < 0 || recheckPending;
        recheckPending = false;
        if (ready > 0) {
            for (std::size_t i = 3; i < descriptors.size(); ++i)
                if ((descriptors[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                    tracker_.processExited(descriptors[i].fd, changes);
            // A new unit's process may be moved into it just after it was read: look again soon.
            if ((descriptors[1].revents & POLLIN) != 0 && readInotify(indexStale)) {
                unitsChanged = true;
                soon = recheckPending = true;
            }
            if ((descriptors[2].revents & POLLIN) != 0) {
                drainFanotify();
                // The event comes as the exec opens the program, before the image is replaced.
                executed = true;
                soon = recheckPending = true;
            }
        }
        if (indexStale) {
            classifier_.setIndex(DesktopEntryIndex::load(roots_));
            if (fanotify_ >= 0)
                markProgramFolders();
        }
        findNewProcesses(changes);
        if (executed && tracker_.hasRecent())
            tracker_.recheckRecent(unitsChanged, changes);
        if (tracker_.hasUnsettled())
            soon = recheckPending = true;
        deliver(std::move(changes));
    }
}

void ApplicationWatcher::findNewProcesses(std::vector<ApplicationTracker::Change>& changes)
{
    const auto latestPid = proc_.lastCreatedPid();
    const auto now = std::chrono::steady_clock::now();
    // Only the PIDs handed out since the last look are read; /proc is listed when that range is
    // unknown, wrapped or large, and now and then to forget processes that left unnoticed.
    if (!latestPid || !lastPid_ || *latestPid < *lastPid_ || *latestPid - *lastPid_ > kLargestProbe ||
        now >= nextListing_) {
        tracker_.scan(changes);
        nextListing_ = now + kListingInterval;
    } else if (*latestPid != *lastPid_ || tracker_.hasUnborn()) {
        tracker_.probe(*lastPid_ + 1, *latestPid, changes);
    }
    lastPid_ = latestPid;
}

void ApplicationWatcher::deliver(std::vector<ApplicationTracker::Change> changes)
{
    if (changes.empty())
        return;
    mainQueue_->post([list = std::weak_ptr<ObserverList>(observers_), changes = std::move(changes)] {
        for (const auto& change : changes) {
            const auto observers = list.lock();
            if (!observers)
                return;
            const ObserverList snapshot = *observers;
            for (const auto& held : snapshot) {
                // An observer removed by an earlier call in this delivery hears nothing more.
                const bool stillAdded = std::any_of(observers->begin(), observers->end(),
                                                    [&](const auto& current) { return sameObserver(current, held); });
                const auto observer = held.lock();
                if (!stillAdded || !observer)
                    continue;
                if (change.launched)
                    observer->appDidLaunch(change.application);
                else
                    observer->appDidTerminate(change.application);
            }
        }
    });
}

}  // namespace tessary
