#include "agent/core/InstallationKeeper.h"

#include <chrono>

#include "platform/Expected.h"
#include "platform/WholeFileWriter.h"

namespace tessary {

namespace {

constexpr auto kUnitFileName = "app.brenmoor.tessary.keepalive.service";
constexpr auto kAgentEntryName = "app.brenmoor.tessary.desktop";
constexpr auto kChromeManifestName = "app.brenmoor.tessary.json";
// Where Chrome reads managed policy on Linux: the profile has to be placed there by an administrator.
constexpr auto kPolicySettingsLocation = "file:///etc/opt/chrome/policies/managed/";
constexpr auto kSettingsDelay = std::chrono::milliseconds(2000);

std::string systemdQuote(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"'\\$%;") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        if (c == '%' || c == '$')
            quoted += c;  // systemd's own specifier and variable escapes: %% and $$
        quoted += c;
    }
    return quoted + "\"";
}

bool pathExists(const std::filesystem::path& path)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

}  // namespace

InstallationKeeper::InstallationKeeper(Paths paths, std::shared_ptr<const MainBundle> bundle,
                                       std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Launcher> launcher,
                                       std::shared_ptr<HostFacts> hostFacts, std::shared_ptr<AdminCheck> adminCheck,
                                       Logger logger)
    : paths_(std::move(paths)), bundle_(std::move(bundle)), mainQueue_(std::move(mainQueue)),
      launcher_(std::move(launcher)), hostFacts_(std::move(hostFacts)), adminCheck_(std::move(adminCheck)),
      logger_(std::move(logger))
{
}

std::filesystem::path InstallationKeeper::systemWideAgentPath() const
{
    return paths_.systemConfigDir / "autostart" / kAgentEntryName;
}

std::filesystem::path InstallationKeeper::keepAliveUnitPath() const
{
    return paths_.configHome / "systemd" / "user" / kUnitFileName;
}

std::filesystem::path InstallationKeeper::keepAliveWantsLinkPath() const
{
    return paths_.configHome / "systemd" / "user" / "default.target.wants" / kUnitFileName;
}

std::filesystem::path InstallationKeeper::chromeHostManifestPath() const
{
    return paths_.configHome / "google-chrome" / "NativeMessagingHosts" / kChromeManifestName;
}

bool InstallationKeeper::hasSystemWideAgent() const
{
    return pathExists(systemWideAgentPath());
}

std::string InstallationKeeper::keepAliveUnitContent(const std::filesystem::path& executable)
{
    return std::string("[Unit]\n"
                       "Description=Tessary agent (") +
           kKeepAliveLabel +
           ")\n"
           "StartLimitIntervalSec=0\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           systemdQuote(executable.string()) +
           "\n"
           "Restart=always\n"
           "RestartSec=2\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

void InstallationKeeper::installKeepAliveAgent()
{
    if (hasSystemWideAgent())
        return;
    const auto unit = keepAliveUnitPath();
    if (pathExists(unit))
        return;
    const auto& executable = bundle_->executablePath();
    if (executable.empty())
        return;

    std::error_code error;
    std::filesystem::create_directories(keepAliveWantsLinkPath().parent_path(), error);
    if (error) {
        logger_.error("Failed to install keepalive: %@", {Error{"The folder “" + unit.parent_path().string() +
                                                                "” couldn’t be created: " + error.message()}});
        return;
    }
    if (auto failure = WholeFileWriter::write(unit, keepAliveUnitContent(executable))) {
        logger_.error("Failed to install keepalive: %@", {*failure});
        return;
    }
    // The wants link is what systemctl enable would make: the unit starts with the session.
    const auto link = keepAliveWantsLinkPath();
    std::filesystem::remove(link, error);
    std::filesystem::create_symlink(std::filesystem::path("..") / kUnitFileName, link, error);
    if (error) {
        logger_.error("Failed to install keepalive: %@",
                      {Error{"The link “" + link.string() + "” couldn’t be created: " + error.message()}});
        return;
    }
    logger_.info("Installed keepalive launch agent");
}

void InstallationKeeper::ensureKeepAliveAgent()
{
    if (!pathExists(keepAliveUnitPath())) {
        logger_.info("LaunchAgent missing — re-installing");
        installKeepAliveAgent();
    }
}

void InstallationKeeper::removeKeepAliveAgent()
{
    std::error_code error;
    const bool removed = std::filesystem::remove(keepAliveUnitPath(), error);
    std::error_code ignored;
    std::filesystem::remove(keepAliveWantsLinkPath(), ignored);
    if (removed && !error)
        logger_.info("Removed keepalive launch agent");
    else
        logger_.info("LaunchAgent not present or already removed");
}

void InstallationKeeper::removeChromeHostManifest()
{
    std::error_code error;
    if (std::filesystem::remove(chromeHostManifestPath(), error) && !error)
        logger_.info("Chrome native messaging host removed");
    else
        logger_.info("Chrome host file not present or already removed");
}

void InstallationKeeper::openMDMProfile()
{
    const auto profile = bundle_->resourcePath("tessary-profile-signed", "mobileconfig", "MDM");
    if (!profile) {
        logger_.error("MDM profile not found in bundle");
        return;
    }
    launcher_->open(profile->string());
    logger_.info("MDM profile opened for installation");
    mainQueue_->postAfter(kSettingsDelay, [this, alive = std::weak_ptr<int>(lifetime_)] {
        if (!alive.expired())
            openProfilesSettings();
    });
}

void InstallationKeeper::openProfilesSettings()
{
    launcher_->open(kPolicySettingsLocation);
    logger_.info("Opened System Settings → Profiles");
}

bool InstallationKeeper::isUserAdmin()
{
    return adminCheck_->isAdmin(hostFacts_->userName());
}

}  // namespace tessary
