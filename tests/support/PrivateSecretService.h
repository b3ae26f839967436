#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace tessary::testing {

// A private session bus (dbus-daemon, no service activation) with gnome-keyring's Secret Service
// on it, in a temporary folder of its own, its login collection unlocked. Programs started with
// environment() use it and never the desktop's keyring; items are read and written with
// secret-tool, so this process never binds to the bus itself. When it cannot be started,
// whyUnavailable() says why (tests then skip).
// The keyring can be left out at first, stopped, paused (present on the bus but silent), locked,
// and started again, which unlocks the login keyring as a login does; its items persist.
class PrivateSecretService {
public:
    enum class Keyring { running, notStarted };

    explicit PrivateSecretService(Keyring keyring = Keyring::running);
    ~PrivateSecretService();
    PrivateSecretService(const PrivateSecretService&) = delete;
    PrivateSecretService& operator=(const PrivateSecretService&) = delete;

    bool available() const { return whyUnavailable_.empty(); }
    const std::string& whyUnavailable() const { return whyUnavailable_; }
    // DBUS_SESSION_BUS_ADDRESS of the private bus.
    const std::map<std::string, std::string>& environment() const { return clientEnvironment_; }

    // One item with attributes service and account, as the agent stores them.
    bool store(const std::string& service, const std::string& account, const std::string& secret) const;
    std::optional<std::string> lookup(const std::string& service, const std::string& account) const;
    void clear(const std::string& service, const std::string& account) const;

    // Starts the keyring (replacing a running one) and waits, bounded, until it answers; the login
    // keyring is unlocked. False when it did not come up.
    bool startKeyring();
    void stopKeyring();
    // Locks the login keyring; the daemon goes on answering, and cannot show an unlock prompt here.
    bool lockKeyring() const;
    // SIGSTOP and SIGCONT: the Secret Service keeps its name on the bus but answers nothing.
    void pauseKeyring() const;
    void resumeKeyring() const;

private:
    TemporaryFolder folder_;
    std::map<std::string, std::string> daemonEnvironment_;
    std::map<std::string, std::string> clientEnvironment_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> keyring_;
    std::string whyUnavailable_;
};

}  // namespace tessary::testing
