#include "platform/linux/ApplicationWatcher.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/Logger.h"

namespace tessary {
namespace {

using std::chrono::steady_clock;

constexpr pid_t kLargestProbe = 4096;
constexpr std::uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE;

bool sameObserver(const std::weak_ptr<WorkspaceObserver>& a, const std::weak_ptr<WorkspaceObserver>& b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

ApplicationWatcher::Settings ApplicationWatcher::sessionSettings(const std::filesystem::path& agentBundle,
                                                                 const std::string& agentId, std::string searchPath,
                                                                 std::shared_ptr<LogSink> logSink)
{
    Settings settings;
    settings.exclusions.uid = ::getuid();
    settings.exclusions.agentPid = ::getpid();
    settings.exclusions.agentBundle = agentBundle;
    settings.exclusions.agentIds = {agentId};
    settings.searchPath = std::move(searchPath);
    settings.logSink = std::move(logSink);
    return settings;
}

ApplicationWatcher::ApplicationWatcher(std::shared_ptr<MainQueue> mainQueue, const Paths& paths, Settings settings)
    : mainQueue_(std::move(mainQueue)),
      settings_(std::move(settings)),
      proc_(std::make_shared<ProcFileSystem>(paths.procRoot)),
      classifier_(settings_.exclusions, settings_.searchPath),
      tracker_(std::make_shared<ProcessHandles>(proc_, settings_.opener, settings_.logSink), classifier_,
               settings_.exclusions.uid, settings_.recentPeriod, [] { return steady_clock::now(); }),
      observers_(std::make_shared<ObserverList>()),
      running_(std::make_shared<ApplicationList>())
{
    roots_.dataDirs.push_back(paths.dataHome);
    roots_.dataDirs.insert(roots_.dataDirs.end(), paths.dataDirs.begin(), paths.dataDirs.end());
    roots_.configDirs = {paths.configHome, paths.systemConfigDir};
    roots_.searchPath = settings_.searchPath;
    const std::string uid = std::to_string(settings_.exclusions.uid);
    unitsRoot_ = paths.cgroupRoot / "user.slice" / ("user-" + uid + ".slice") / ("user@" + uid + ".service") / "app.slice";

    loadIndex();
    // Read before the first scan, so nothing created during it goes unnoticed.
    lastPid_ = proc_->lastCreatedPid();
    std::vector<ApplicationTracker::Change> ignored;
    tracker_.scan(ignored);
    for (auto& application : tracker_.applications())
        running_->push_back(std::move(application));

    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (settings_.eventTriggers)
        setUpTriggers();
    if (settings_.logSink) {
        const Logger logger(settings_.logSink, "app.brenmoor.tessary", "app");
        if (execWakes_)
            logger.info("Watching %ld program folders for launches", {static_cast<long>(programFolders_.size())});
        else
            logger.info("Looking for launches every %ld ms: not every program folder can be watched",
                        {static_cast<long>(settings_.scanInterval.count())});
    }
    thread_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "app watcher");
        run();
    });
}

ApplicationWatcher::~ApplicationWatcher()
{
    stopping_ = true;
    const std::uint64_t one = 1;
    // An eventfd write fails only when its counter is full, and a full counter wakes the thread too.
    if (::write(wake_.get(), &one, sizeof one) < 0) {
    }
    thread_.join();
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

void ApplicationWatcher::loadIndex()
{
    auto index = DesktopEntryIndex::load(roots_);
    // The index is read again on every change of an entry folder; a bad file is told of once.
    for (const auto& malformed : index.malformedEntries())
        if (reportedMalformed_.insert(malformed).second && settings_.logSink)
            Logger(settings_.logSink, "app.brenmoor.tessary", "app").info("Skipped in a desktop entry: %s", {malformed});
    classifier_.setIndex(std::move(index));
}

void ApplicationWatcher::setUpTriggers()
{
    inotify_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (inotify_)
        watchFolders();
    // An exec opens its program: an open in a program folder is reported by name, on any
    // kernel and without privileges (but without the PID, so the name says which program ran,
    // not where).
    execInotify_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (execInotify_)
        watchProgramFolders();
}

void ApplicationWatcher::watchFolders()
{
    watchTree(unitsRoot_, WatchKind::units);
    for (const auto& dataDir : roots_.dataDirs)
        watchTree(dataDir / "applications", WatchKind::entries);
}

void ApplicationWatcher::watchTree(const std::filesystem::path& folder, WatchKind kind)
{
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        // Not there yet: watch the nearest folder that is, to watch this one once it appears.
        for (auto ancestor = folder.parent_path(); !ancestor.empty(); ancestor = ancestor.parent_path()) {
            if (std::filesystem::is_directory(ancestor, error)) {
                const int wd = ::inotify_add_watch(inotify_.get(), ancestor.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
                if (wd >= 0 && !watches_.contains(wd))
                    watches_[wd] = Watch{WatchKind::ancestor, ancestor};
                return;
            }
            if (ancestor == ancestor.root_path())
                return;
        }
        return;
    }
    const auto mask = kind == WatchKind::units ? IN_CREATE | IN_ONLYDIR : kEntryEvents | IN_ONLYDIR;
    const int wd = ::inotify_add_watch(inotify_.get(), folder.c_str(), mask);
    if (wd < 0)
        return;
    watches_[wd] = Watch{kind, folder};
    // Launchers may group units in sub-slices ("app-<ID>.slice"); entries may sit in subfolders.
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if ((kind == WatchKind::entries || it->path().extension() == ".slice") && it->is_directory(error))
            watchTree(it->path(), kind);
}

void ApplicationWatcher::watchProgramFolders()
{
    const auto index = classifier_.index();
    identifyingPrograms_ = index.triggerPrograms();
    bool allWatched = true;
    for (const auto& folder : index.programFolders()) {
        if (std::any_of(programFolders_.begin(), programFolders_.end(),
                        [&folder](const auto& watched) { return watched.second == folder; }))
            continue;
        const int wd = ::inotify_add_watch(execInotify_.get(), folder.c_str(), IN_OPEN | IN_ONLYDIR);
        if (wd >= 0)
            programFolders_[wd] = folder;
        else
            allWatched = false;
    }
    // A program folder without a watch would hide its launches: then the scan must run.
    execWakes_ = allWatched && !programFolders_.empty();
}

void ApplicationWatcher::readInotify(Wake& wake)
{
    alignas(inotify_event) std::array<char, 8192> buffer{};
    bool rewatch = false;
    while (true) {
        const ssize_t got = ::read(inotify_.get(), buffer.data(), buffer.size());
        if (got <= 0)
            break;
        for (std::size_t offset = 0; offset < static_cast<std::size_t>(got);) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            offset += sizeof event + event.len;
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                wake.indexStale = wake.newUnit = rewatch = true;
                continue;
            }
            const auto watch = watches_.find(event.wd);
            if (watch == watches_.end())
                continue;
            const auto kind = watch->second.kind;
            if ((event.mask & IN_IGNORED) != 0) {
                // The folder went away; its parent is watched for its return.
                watches_.erase(watch);
                rewatch = true;
                wake.indexStale = wake.indexStale || kind == WatchKind::entries;
                continue;
            }
            if (kind == WatchKind::ancestor) {
                rewatch = wake.indexStale = wake.newUnit = true;
            } else if (kind == WatchKind::entries) {
                wake.indexStale = true;
                rewatch = rewatch || (event.mask & IN_ISDIR) != 0;
            } else {
                wake.newUnit = true;
                rewatch = true;
            }
        }
    }
    if (rewatch)
        watchFolders();
}

void ApplicationWatcher::readExecutions(Wake& wake)
{
    alignas(inotify_event) std::array<char, 8192> buffer{};
    while (true) {
        const ssize_t got = ::read(execInotify_.get(), buffer.data(), buffer.size());
        if (got <= 0)
            return;
        for (std::size_t offset = 0; offset < static_cast<std::size_t>(got);) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const std::string name(event.len > 0 ? buffer.data() + offset + sizeof event : "");
            offset += sizeof event + event.len;
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                wake.overflow = wake.identifyingExec = true;
                continue;
            }
            const auto folder = programFolders_.find(event.wd);
            if (folder == programFolders_.end())
                continue;
            if ((event.mask & IN_IGNORED) != 0) {
                // Watched again if it returns with the index.
                programFolders_.erase(folder);
                continue;
            }
            wake.executed = true;
            if (identifyingPrograms_.contains(folder->second / name))
                wake.identifyingExec = true;
        }
    }
}

void ApplicationWatcher::run()
{
    const auto scanOnly = [this] { return !execWakes_; };
    WatcherSchedule schedule({settings_.scanInterval, settings_.sweepInterval, static_cast<bool>(inotify_)}, scanOnly(),
                             steady_clock::now());
    std::vector<pollfd> descriptors;
    while (true) {
        auto now = steady_clock::now();
        const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(schedule.deadline(now, scanOnly()) - now, steady_clock::duration{}));

        descriptors.clear();
        for (const int fd : {wake_.get(), inotify_.get(), execInotify_.get()})
            descriptors.push_back(pollfd{fd, POLLIN, 0});
        for (const int fd : tracker_.exitDescriptors())
            descriptors.push_back(pollfd{fd, POLLIN, 0});
        const int ready = ::poll(descriptors.data(), descriptors.size(), static_cast<int>(timeout.count()));
        if (stopping_)
            return;
        now = steady_clock::now();

        std::vector<ApplicationTracker::Change> changes;
        Wake wake;
        if (ready > 0) {
            for (std::size_t i = 3; i < descriptors.size(); ++i)
                if ((descriptors[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                    tracker_.processExited(descriptors[i].fd, changes);
            if ((descriptors[1].revents & POLLIN) != 0)
                readInotify(wake);
            if ((descriptors[2].revents & POLLIN) != 0)
                readExecutions(wake);
        }
        const auto actions = schedule.wokeUp(wake, now);
        if (actions.readIndex) {
            loadIndex();
            if (execInotify_)
                watchProgramFolders();
        }
        findNewProcesses(actions.list, changes);
        if (actions.recheckAll)
            tracker_.recheckAll(changes);
        const auto look = schedule.lookAtRecent(scanOnly(), tracker_.hasRecent());
        if (look.due)
            tracker_.recheckRecent(look.checkUnits, changes);
        schedule.settled(tracker_.hasUnsettled());
        deliver(std::move(changes));
    }
}

void ApplicationWatcher::findNewProcesses(bool list, std::vector<ApplicationTracker::Change>& changes)
{
    const auto latestPid = proc_->lastCreatedPid();
    // Only the PIDs handed out since the last look are read; /proc is listed when that range is
    // unknown, wrapped or large, and now and then to forget processes that left unnoticed.
    if (list || !latestPid || !lastPid_ || *latestPid < *lastPid_ || *latestPid - *lastPid_ > kLargestProbe)
        tracker_.scan(changes);
    else if (*latestPid != *lastPid_ || tracker_.hasUnborn())
        tracker_.probe(*lastPid_ + 1, *latestPid, changes);
    lastPid_ = latestPid;
}

std::vector<std::shared_ptr<RunningApplication>> ApplicationWatcher::runningApplications() const
{
    return *running_;
}

void ApplicationWatcher::deliver(std::vector<ApplicationTracker::Change> changes)
{
    if (changes.empty())
        return;
    mainQueue_->post([list = std::weak_ptr<ObserverList>(observers_), running = std::weak_ptr<ApplicationList>(running_),
                      changes = std::move(changes)] {
        if (const auto applications = running.lock()) {
            for (const auto& change : changes) {
                if (change.launched)
                    applications->push_back(change.application);
                else
                    std::erase(*applications, change.application);
            }
        }
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
