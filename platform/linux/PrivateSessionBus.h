#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Expected.h"
#include "platform/linux/BusMessage.h"

struct DBusConnection;
struct DBusWatch;

namespace tessary {

class StopSignal;

// A connection of its own to the session bus, never the one QtDBus shares, closed when this ends
// so that a restarted bus or keyring is met afresh by the next one. Nothing blocks inside libdbus:
// every wait polls the connection's socket together with the stop signal, and ends at its
// deadline, when the bus goes away, or at once when the signal is raised. A bus that goes away
// never ends the process. One thread uses an instance.
class PrivateSessionBus {
public:
    // Connected to the bus of DBUS_SESSION_BUS_ADDRESS (else the user bus in $XDG_RUNTIME_DIR) and
    // registered with it within the limit. A bus is never started on demand.
    static Expected<std::unique_ptr<PrivateSessionBus>> connect(const StopSignal& stop,
                                                                std::chrono::milliseconds limit);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // The reply to the request, an error reply included; an Error when none came within the limit.
    Expected<BusMessage> call(const BusMessage& request, std::chrono::milliseconds limit);
    // Sends without asking for a reply, waiting at most the limit for it to be written out.
    void send(const BusMessage& message, std::chrono::milliseconds limit);
    // The first signal that `accepts` takes, among those that came during earlier calls and later
    // ones; no deadline but the stop signal and the end of the connection.
    Expected<BusMessage> waitForSignal(const std::function<bool(const BusMessage&)>& accepts);

private:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    PrivateSessionBus(DBusConnection* connection, const StopSignal& stop);
    // Lets libdbus read and write what the socket allows, waiting for it at most until the
    // deadline; an Error once the deadline has passed, the connection has closed or stop is raised.
    [[nodiscard]] std::optional<Error> pump(Deadline deadline);
    void keepSignal(BusMessage message);

    static unsigned int addWatch(DBusWatch* watch, void* bus);
    static void removeWatch(DBusWatch* watch, void* bus);

    DBusConnection* connection_;
    const StopSignal& stop_;
    std::vector<DBusWatch*> watches_;
    std::deque<BusMessage> signals_;
};

}  // namespace tessary
