#include "platform/linux/SessionBusName.h"

#include <dbus/dbus.h>

#include "platform/linux/PrivateSessionBus.h"
#include "platform/linux/StopSignal.h"

namespace tessary {

bool SessionBusName::hasOwner(const char* name, std::chrono::milliseconds limit)
{
    const StopSignal stop;
    auto bus = PrivateSessionBus::connect(stop, limit);
    if (!bus)
        return false;
    const auto request =
        BusMessage::methodCall(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "NameHasOwner");
    if (!request || !dbus_message_append_args(request.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID))
        return false;
    const auto reply = bus.value()->call(request, limit);
    if (!reply || reply.value().isError() || reply.value().signature() != "b")
        return false;
    dbus_bool_t owned = FALSE;
    dbus_message_get_args(reply.value().get(), nullptr, DBUS_TYPE_BOOLEAN, &owned, DBUS_TYPE_INVALID);
    return owned == TRUE;
}

}  // namespace tessary
