#include "tests/support/PrivateSecretService.h"

#include <chrono>
#include <csignal>
#include <utility>
#include <vector>

#include "tests/support/WaitUntil.h"

namespace tessary::testing {

namespace {

constexpr auto kProbeService = "tessary.test";
constexpr auto kProbeAccount = "probe";

// The exit status; what the program writes, errors included, is dropped (the first probes fail
// by design while the keyring comes up).
int runQuietly(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment,
               std::optional<std::string> input = std::nullopt)
{
    ChildProcess child(std::move(arguments), environment, std::move(input),
                       ChildProcess::Capture::standardOutputAndError);
    static_cast<void>(child.readAll());
    return child.wait();
}

}  // namespace

PrivateSecretService::PrivateSecretService(Keyring keyring)
{
    const auto paths = folder_.paths();
    std::filesystem::permissions(paths.runtimeDir, std::filesystem::perms::owner_all);
    auto& daemonEnvironment = daemonEnvironment_;
    daemonEnvironment = {{"HOME", paths.home.string()},
                         {"XDG_DATA_HOME", paths.dataHome.string()},
                         {"XDG_CONFIG_HOME", paths.configHome.string()},
                         {"XDG_RUNTIME_DIR", paths.runtimeDir.string()}};

    // No service activation: only the keyring started here may own the Secret Service name.
    const auto busConfig = folder_.path() / "session-bus.conf";
    TemporaryFolder::writeFile(busConfig,
                               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                               "<busconfig><type>session</type><listen>unix:dir=" +
                                   paths.runtimeDir.string() +
                                   "</listen><policy context=\"default\"><allow send_destination=\"*\"/>"
                                   "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + busConfig.string(), "--nofork", "--print-address=1"},
        daemonEnvironment);
    // dbus-daemon prints its address once it listens, or exits.
    const auto address = bus_->started() ? bus_->readLine() : std::nullopt;
    if (!address || address->empty()) {
        whyUnavailable_ = "no session bus could be started (dbus-daemon missing?)";
        return;
    }
    clientEnvironment_["DBUS_SESSION_BUS_ADDRESS"] = *address;
    daemonEnvironment["DBUS_SESSION_BUS_ADDRESS"] = *address;

    // Whether a keyring can run here at all is learnt from one start, even when a test wants none yet.
    if (!startKeyring())
        return;
    if (keyring == Keyring::notStarted)
        stopKeyring();
}

bool PrivateSecretService::startKeyring()
{
    // A new daemon replaces the old and unlocks the login keyring it finds on disk, as a login does.
    keyring_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"gnome-keyring-daemon", "--replace", "--foreground", "--unlock",
                                 "--components=secrets"},
        daemonEnvironment_, std::string("test-password"));
    if (!keyring_->started()) {
        whyUnavailable_ = "gnome-keyring-daemon could not be started";
        return false;
    }
    // Ready once an item written through the bus reads back.
    const bool ready = waitUntil(
        [this] {
            return store(kProbeService, kProbeAccount, "ready") && lookup(kProbeService, kProbeAccount) == "ready";
        },
        std::chrono::seconds(15));
    if (!ready) {
        whyUnavailable_ = "the Secret Service did not answer on the private bus";
        return false;
    }
    clear(kProbeService, kProbeAccount);
    return true;
}

void PrivateSecretService::stopKeyring()
{
    keyring_.reset();
}

bool PrivateSecretService::lockKeyring() const
{
    return runQuietly({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                       "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                       "['/org/freedesktop/secrets/collection/login']"},
                      clientEnvironment_) == 0;
}

void PrivateSecretService::pauseKeyring() const
{
    if (keyring_ && keyring_->started())
        stopProcess(keyring_->pid(), std::chrono::seconds(15));
}

void PrivateSecretService::resumeKeyring() const
{
    if (keyring_ && keyring_->started())
        ::kill(keyring_->pid(), SIGCONT);
}

PrivateSecretService::~PrivateSecretService()
{
    // The keyring first: it must not see its bus vanish under it.
    keyring_.reset();
    bus_.reset();
}

bool PrivateSecretService::store(const std::string& service, const std::string& account,
                                 const std::string& secret) const
{
    return runQuietly(
               {"secret-tool", "store", "--label=" + service + " " + account, "service", service, "account", account},
               clientEnvironment_, secret) == 0;
}

std::optional<std::string> PrivateSecretService::lookup(const std::string& service, const std::string& account) const
{
    auto [status, output] =
        ChildProcess::run({"secret-tool", "lookup", "service", service, "account", account}, clientEnvironment_);
    if (status != 0)
        return std::nullopt;
    return output;
}

void PrivateSecretService::clear(const std::string& service, const std::string& account) const
{
    static_cast<void>(runQuietly({"secret-tool", "clear", "service", service, "account", account}, clientEnvironment_));
}

}  // namespace tessary::testing
