#include "platform/linux/BusMessage.h"

#include <dbus/dbus.h>

namespace tessary {

namespace {

std::string text(const char* value)
{
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

BusMessage& BusMessage::operator=(BusMessage&& other) noexcept
{
    if (this != &other) {
        if (message_ != nullptr)
            dbus_message_unref(message_);
        message_ = std::exchange(other.message_, nullptr);
    }
    return *this;
}

BusMessage::~BusMessage()
{
    if (message_ != nullptr)
        dbus_message_unref(message_);
}

BusMessage BusMessage::methodCall(const char* destination, const std::string& path, const char* interface,
                                  const char* member)
{
    if (dbus_validate_path(path.c_str(), nullptr) == FALSE)
        return BusMessage();
    return BusMessage(dbus_message_new_method_call(destination, path.c_str(), interface, member));
}

bool BusMessage::isError() const
{
    return dbus_message_get_type(message_) == DBUS_MESSAGE_TYPE_ERROR;
}

bool BusMessage::isSignal(const char* interface, const char* member) const
{
    return dbus_message_is_signal(message_, interface, member) == TRUE;
}

std::string BusMessage::path() const
{
    return text(dbus_message_get_path(message_));
}

std::string BusMessage::signature() const
{
    return text(dbus_message_get_signature(message_));
}

std::string BusMessage::errorName() const
{
    return text(dbus_message_get_error_name(message_));
}

std::string BusMessage::errorText() const
{
    DBusMessageIter arguments;
    if (dbus_message_iter_init(message_, &arguments) == TRUE &&
        dbus_message_iter_get_arg_type(&arguments) == DBUS_TYPE_STRING) {
        const char* message = nullptr;
        dbus_message_iter_get_basic(&arguments, &message);
        if (message != nullptr && *message != '\0')
            return message;
    }
    return errorName();
}

}  // namespace tessary
