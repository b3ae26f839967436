#include "platform/linux/PrivateSessionBus.h"

#include <dbus/dbus.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/linux/StopSignal.h"

namespace tessary {

namespace {

// Bounds each poll, so a wait sees the stop flag even without an eventfd.
constexpr std::chrono::milliseconds kSlice(100);
// Signals nobody waits for yet; any peer on the bus may send them, so they are bounded.
constexpr std::size_t kKeptSignals = 32;

constexpr auto kStopping = "the store is stopping";

// Owns what libdbus reports into it.
class BusError {
public:
    BusError() { dbus_error_init(&error_); }
    ~BusError() { dbus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;

    DBusError* get() { return &error_; }
    std::string text() const { return error_.message != nullptr ? error_.message : "unknown error"; }

private:
    DBusError error_;
};

// What libdbus itself would use, short of starting a bus on demand (autolaunch).
std::string sessionBusAddress()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0')
        return address;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0')
        return {};
    const std::string socket = std::string(runtime) + "/bus";
    struct stat status {};
    if (::stat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode))
        return {};
    char* escaped = dbus_address_escape_value(socket.c_str());
    if (escaped == nullptr)
        return {};
    std::string result = std::string("unix:path=") + escaped;
    dbus_free(escaped);
    return result;
}

short pollEvents(DBusWatch* watch)
{
    const unsigned int flags = dbus_watch_get_flags(watch);
    short events = 0;
    if ((flags & DBUS_WATCH_READABLE) != 0)
        events |= POLLIN;
    if ((flags & DBUS_WATCH_WRITABLE) != 0)
        events |= POLLOUT;
    return events;
}

unsigned int watchFlags(short revents)
{
    unsigned int flags = 0;
    if ((revents & POLLIN) != 0)
        flags |= DBUS_WATCH_READABLE;
    if ((revents & POLLOUT) != 0)
        flags |= DBUS_WATCH_WRITABLE;
    if ((revents & (POLLERR | POLLNVAL)) != 0)
        flags |= DBUS_WATCH_ERROR;
    if ((revents & POLLHUP) != 0)
        flags |= DBUS_WATCH_HANGUP;
    return flags;
}

int pollTimeout(std::optional<std::chrono::steady_clock::time_point> deadline)
{
    auto wait = kSlice;
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
        wait = std::clamp(left, std::chrono::milliseconds(0), kSlice);
    }
    return static_cast<int>(wait.count());
}

}  // namespace

PrivateSessionBus::PrivateSessionBus(DBusConnection* connection, const StopSignal& stop)
    : connection_(connection), stop_(stop)
{
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
}

PrivateSessionBus::~PrivateSessionBus()
{
    // Closing hands the watches back through removeWatch, so watches_ must still exist.
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

Expected<std::unique_ptr<PrivateSessionBus>> PrivateSessionBus::connect(const StopSignal& stop,
                                                                         std::chrono::milliseconds limit)
{
    if (stop.raised())
        return Error{kStopping};
    // Implicit since libdbus 1.7; asked for anyway, as the store's worker is not the first thread.
    if (dbus_threads_init_default() == FALSE)
        return Error{"out of memory"};
    const std::string address = sessionBusAddress();
    if (address.empty())
        return Error{"no session bus address"};
    BusError error;
    DBusConnection* connection = dbus_connection_open_private(address.c_str(), error.get());
    if (connection == nullptr)
        return Error{"the session bus cannot be reached: " + error.text()};
    std::unique_ptr<PrivateSessionBus> bus(new PrivateSessionBus(connection, stop));
    if (dbus_connection_set_watch_functions(connection, &PrivateSessionBus::addWatch, &PrivateSessionBus::removeWatch,
                                            nullptr, bus.get(), nullptr) == FALSE)
        return Error{"out of memory"};

    // Done here rather than by dbus_bus_register(), which would block for up to 25 s past stop().
    const auto hello = BusMessage::methodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello");
    if (!hello)
        return Error{"out of memory"};
    auto reply = bus->call(hello, limit);
    if (!reply)
        return stop.raised() ? reply.error() : Error{"the session bus does not answer: " + reply.error().description};
    if (reply.value().isError())
        return Error{"the session bus refuses the connection: " + reply.value().errorText()};
    return bus;
}

Expected<BusMessage> PrivateSessionBus::call(const BusMessage& request, std::chrono::milliseconds limit)
{
    if (stop_.raised())
        return Error{kStopping};
    dbus_uint32_t serial = 0;
    if (dbus_connection_send(connection_, request.get(), &serial) == FALSE)
        return Error{"out of memory"};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        while (BusMessage message{dbus_connection_pop_message(connection_)}) {
            const int type = dbus_message_get_type(message.get());
            if ((type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) &&
                dbus_message_get_reply_serial(message.get()) == serial)
                return message;
            if (type == DBUS_MESSAGE_TYPE_SIGNAL)
                keepSignal(std::move(message));
        }
        if (auto failure = pump(deadline))
            return *failure;
    }
}

void PrivateSessionBus::send(const BusMessage& message, std::chrono::milliseconds limit)
{
    dbus_message_set_no_reply(message.get(), TRUE);
    if (dbus_connection_send(connection_, message.get(), nullptr) == FALSE)
        return;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (dbus_connection_has_messages_to_send(connection_) == TRUE && !pump(deadline)) {
    }
}

Expected<BusMessage> PrivateSessionBus::waitForSignal(const std::function<bool(const BusMessage&)>& accepts)
{
    for (;;) {
        while (BusMessage message{dbus_connection_pop_message(connection_)})
            if (dbus_message_get_type(message.get()) == DBUS_MESSAGE_TYPE_SIGNAL)
                keepSignal(std::move(message));
        const auto found = std::find_if(signals_.begin(), signals_.end(), accepts);
        if (found != signals_.end()) {
            BusMessage message = std::move(*found);
            signals_.erase(found);
            return message;
        }
        if (auto failure = pump(std::nullopt))
            return *failure;
    }
}

std::optional<Error> PrivateSessionBus::pump(Deadline deadline)
{
    if (stop_.raised())
        return Error{kStopping};
    if (dbus_connection_get_is_connected(connection_) == FALSE)
        return Error{"the session bus connection has closed"};
    if (deadline && std::chrono::steady_clock::now() >= *deadline)
        return Error{"no reply in time"};

    std::vector<pollfd> descriptors;
    std::vector<DBusWatch*> polled;
    for (DBusWatch* watch : watches_) {
        if (dbus_watch_get_enabled(watch) == FALSE)
            continue;
        descriptors.push_back({dbus_watch_get_unix_fd(watch), pollEvents(watch), 0});
        polled.push_back(watch);
    }
    descriptors.push_back({stop_.fd(), POLLIN, 0});
    // Nothing ready, the slice over or a signal: the caller looks again.
    if (::poll(descriptors.data(), descriptors.size(), pollTimeout(deadline)) <= 0)
        return std::nullopt;
    for (std::size_t index = 0; index < polled.size(); ++index) {
        // Handling one watch can close the connection and free the others.
        if (descriptors[index].revents == 0 ||
            std::find(watches_.begin(), watches_.end(), polled[index]) == watches_.end())
            continue;
        dbus_watch_handle(polled[index], watchFlags(descriptors[index].revents));
    }
    return std::nullopt;
}

void PrivateSessionBus::keepSignal(BusMessage message)
{
    if (signals_.size() == kKeptSignals)
        signals_.pop_front();
    signals_.push_back(std::move(message));
}

unsigned int PrivateSessionBus::addWatch(DBusWatch* watch, void* bus)
{
    static_cast<PrivateSessionBus*>(bus)->watches_.push_back(watch);
    return TRUE;
}

void PrivateSessionBus::removeWatch(DBusWatch* watch, void* bus)
{
    auto& watches = static_cast<PrivateSessionBus*>(bus)->watches_;
    watches.erase(std::remove(watches.begin(), watches.end(), watch), watches.end());
}

}  // namespace tessary
