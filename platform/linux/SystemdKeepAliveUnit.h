#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/KeepAliveAgent.h"
#include "platform/Paths.h"

namespace tessary {

// The keep-alive agent as a systemd user unit in the user's configuration folder, enabled by its
// link in graphical-session.target.wants (what systemctl enable would make). The unit is written
// and linked here; it is started only through the service manager (SystemctlServiceManager).
// Where the user has none, the unit the package installed for every user stands in: the manager
// reads the user's folder first, so that is the one it would start.
class SystemdKeepAliveUnit final : public KeepAliveAgent {
public:
    static constexpr const char* kUnitName = "app.brenmoor.tessary.keepalive.service";
    // Set in the environment of every process the unit starts.
    static constexpr const char* kLaunchVariable = "TESSARY_LAUNCHED_BY";
    static constexpr const char* kLaunchValue = "app.brenmoor.tessary.keepalive";
    // Left in the runtime folder when the unit's watchdog ended the agent.
    static constexpr const char* kWatchdogNoticeName = "app.brenmoor.tessary.watchdog-restart";

    explicit SystemdKeepAliveUnit(const Paths& paths);

    Definition definition(const std::filesystem::path& executable) override;
    [[nodiscard]] std::optional<Error> install(const std::filesystem::path& executable) override;
    [[nodiscard]] std::optional<Error> enable() override;
    bool remove() override;
    // A mask (the unit linked to /dev/null, for good or until the session ends), another link in the
    // unit's place, and drop-in files, in every user folder systemd reads units from.
    std::vector<std::string> overrides() override;

    const std::filesystem::path& unitPath() const { return unitPath_; }
    // The unit installed with the system, enabled by a link beside it.
    const std::filesystem::path& systemWideUnitPath() const { return systemWideUnitPath_; }
    // The link that starts the unit with the graphical session.
    std::filesystem::path wantsLinkPath() const;
    // Where versions before this one linked the unit, starting it before any display existed.
    std::filesystem::path earlierWantsLinkPath() const;

    // Absent when systemd cannot start this executable (see SystemdExec).
    static std::optional<std::string> unitContent(const std::filesystem::path& executable);
    static std::optional<std::string> earlierUnitContent(const std::filesystem::path& executable);
    // What the release before the watchdog wrote.
    static std::optional<std::string> unitContentWithoutWatchdog(const std::filesystem::path& executable);

private:
    static std::optional<std::string> contentFor(const std::filesystem::path& executable, bool watchdog);

    std::filesystem::path unitPath_;
    std::filesystem::path systemWideUnitPath_;
    // The user's folders where systemd looks for the unit and its drop-ins.
    std::vector<std::filesystem::path> userUnitFolders_;
};

}  // namespace tessary
