#include "platform/linux/SystemdKeepAliveUnit.h"

#include <algorithm>

#include "platform/linux/AtomicFile.h"
#include "platform/linux/SystemdExec.h"

namespace tessary {

namespace {

bool isPresent(const std::filesystem::path& path)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

bool removeLink(const std::filesystem::path& link)
{
    std::error_code ignored;
    return std::filesystem::is_symlink(link, ignored) && std::filesystem::remove(link, ignored);
}

}  // namespace

SystemdKeepAliveUnit::SystemdKeepAliveUnit(const Paths& paths)
    : unitPath_(paths.configHome / "systemd" / "user" / kUnitName),
      systemWideUnitPath_(paths.systemUserUnitDir / kUnitName),
      userUnitFolders_({paths.configHome / "systemd" / "user", paths.configHome / "systemd" / "user.control",
                        paths.runtimeDir / "systemd" / "user", paths.runtimeDir / "systemd" / "user.control",
                        paths.runtimeDir / "systemd" / "transient", paths.dataHome / "systemd" / "user"})
{
}

std::vector<std::string> SystemdKeepAliveUnit::overrides()
{
    std::vector<std::string> found;
    for (const auto& folder : userUnitFolders_) {
        // What "systemctl --user mask" leaves (with --runtime, for the session); the agent itself
        // never writes a link in the unit's place.
        const auto unit = folder / kUnitName;
        std::error_code error;
        if (std::filesystem::is_symlink(unit, error)) {
            const auto target = std::filesystem::read_symlink(unit, error);
            found.push_back(target == std::filesystem::path("/dev/null")
                                ? "the keep-alive unit is masked (" + unit.string() + ")"
                                : "the keep-alive unit is replaced by a link to " + target.string());
        }
        // Drop-ins for this unit, and those for every service.
        for (const auto& name : {std::string(kUnitName) + ".d", std::string("service.d")}) {
            for (std::filesystem::directory_iterator it(folder / name, error), end; !error && it != end;
                 it.increment(error))
                if (it->path().extension() == ".conf")
                    found.push_back("a drop-in file changes the keep-alive unit (" + it->path().string() + ")");
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::filesystem::path SystemdKeepAliveUnit::wantsLinkPath() const
{
    return unitPath_.parent_path() / "graphical-session.target.wants" / kUnitName;
}

std::filesystem::path SystemdKeepAliveUnit::earlierWantsLinkPath() const
{
    return unitPath_.parent_path() / "default.target.wants" / kUnitName;
}

// Started with the graphical session and stopped with it, never before a display exists. Restarted
// a second after any end except a duplicate's (kDuplicateExitStatus), so a killed agent is back at
// once while a copy that found the agent running is not started again. A program that keeps dying
// at start is given up after ten tries a minute. Only the agent itself is stopped with the unit:
// what it opened for the user (a browser, the package installer) stays. An agent that stops
// feeding the watchdog (stopped with SIGSTOP, or hung) is killed at once and so restarted, and a
// notice in the runtime folder tells the next agent to report it.
std::optional<std::string> SystemdKeepAliveUnit::contentFor(const std::filesystem::path& executable, bool watchdog)
{
    const auto program = SystemdExec::program(executable);
    if (!program)
        return std::nullopt;
    const auto duplicate = std::to_string(kDuplicateExitStatus);
    return std::string("[Unit]\n"
                       "Description=Tessary agent (app.brenmoor.tessary.keepalive)\n"
                       "PartOf=graphical-session.target\n"
                       "After=graphical-session.target\n"
                       "ConditionEnvironment=|DISPLAY\n"
                       "ConditionEnvironment=|WAYLAND_DISPLAY\n"
                       "StartLimitIntervalSec=60\n"
                       "StartLimitBurst=10\n"
                       "\n"
                       "[Service]\n"
                       "ExecStart=") +
           *program +
           "\n"
           "Environment=" +
           kLaunchVariable + "=" + kLaunchValue +
           "\n"
           "Restart=always\n"
           "RestartSec=1\n"
           "RestartPreventExitStatus=" +
           duplicate +
           "\n"
           "SuccessExitStatus=" +
           duplicate +
           "\n"
           "KillMode=process\n" +
           (watchdog ? std::string("NotifyAccess=main\n"
                                   "WatchdogSec=30\n"
                                   "WatchdogSignal=SIGKILL\n"
                                   "ExecStopPost=/bin/sh -c 'test \"$$SERVICE_RESULT\" != watchdog || : > \"%t/") +
                           kWatchdogNoticeName + "\"'\n"
                     : std::string()) +
           "\n"
           "[Install]\n"
           "WantedBy=graphical-session.target\n";
}

std::optional<std::string> SystemdKeepAliveUnit::unitContent(const std::filesystem::path& executable)
{
    return contentFor(executable, true);
}

std::optional<std::string> SystemdKeepAliveUnit::earlierUnitContent(const std::filesystem::path& executable)
{
    const auto program = SystemdExec::program(executable);
    if (!program)
        return std::nullopt;
    return "[Unit]\n"
           "Description=Tessary agent (app.brenmoor.tessary.keepalive)\n"
           "StartLimitIntervalSec=0\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           *program +
           "\n"
           "Restart=always\n"
           "RestartSec=2\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

std::optional<std::string> SystemdKeepAliveUnit::unitContentWithoutWatchdog(const std::filesystem::path& executable)
{
    return contentFor(executable, false);
}

KeepAliveAgent::Definition SystemdKeepAliveUnit::definition(const std::filesystem::path& executable)
{
    if (!isPresent(unitPath_)) {
        if (!isPresent(systemWideUnitPath_))
            return Definition::absent;
        // The system's unit is the package's, for the installed agent; no earlier version wrote one.
        return AtomicFile::read(systemWideUnitPath_) == unitContent(executable) ? Definition::current
                                                                                 : Definition::foreign;
    }
    const auto content = AtomicFile::read(unitPath_);
    if (!content)
        return Definition::foreign;
    if (content == unitContent(executable))
        return Definition::current;
    // Rewritten with the watchdog: what the previous release wrote had none.
    if (content == earlierUnitContent(executable) || content == unitContentWithoutWatchdog(executable))
        return Definition::earlier;
    return Definition::foreign;
}

std::optional<Error> SystemdKeepAliveUnit::install(const std::filesystem::path& executable)
{
    const auto content = unitContent(executable);
    if (!content)
        return Error{"systemd cannot start the program “" + executable.string() + "”"};
    if (auto failure = AtomicFile::write(unitPath_, *content, 0644))
        return failure;
    return enable();
}

std::optional<Error> SystemdKeepAliveUnit::enable()
{
    // The system's unit is enabled by the package's own link, which a user cannot remove.
    if (!isPresent(unitPath_))
        return std::nullopt;
    const auto link = wantsLinkPath();
    const auto target = std::filesystem::path("..") / kUnitName;
    std::error_code ignored;
    if (std::filesystem::read_symlink(link, ignored) != target) {
        if (auto failure = AtomicFile::writeLink(link, target))
            return failure;
    }
    removeLink(earlierWantsLinkPath());
    return std::nullopt;
}

bool SystemdKeepAliveUnit::remove()
{
    std::error_code error;
    const bool removed = std::filesystem::remove(unitPath_, error) && !error;
    removeLink(wantsLinkPath());
    removeLink(earlierWantsLinkPath());
    return removed;
}

}  // namespace tessary
