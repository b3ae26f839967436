#pragma once

#include <string>
#include <utility>

struct DBusMessage;

namespace tessary {

// Owns one reference to a libdbus message.
class BusMessage {
public:
    BusMessage() = default;
    // Takes over the caller's reference.
    explicit BusMessage(DBusMessage* message) : message_(message) {}
    BusMessage(BusMessage&& other) noexcept : message_(std::exchange(other.message_, nullptr)) {}
    BusMessage& operator=(BusMessage&& other) noexcept;
    BusMessage(const BusMessage&) = delete;
    BusMessage& operator=(const BusMessage&) = delete;
    ~BusMessage();

    // A method call; empty when the path is not a valid object path (libdbus would abort on it) or
    // memory ran out.
    static BusMessage methodCall(const char* destination, const std::string& path, const char* interface,
                                 const char* member);

    DBusMessage* get() const { return message_; }
    explicit operator bool() const { return message_ != nullptr; }

    bool isError() const;
    bool isSignal(const char* interface, const char* member) const;
    std::string path() const;
    std::string signature() const;
    // Of an error reply: its first argument when that is a text, else the error name.
    std::string errorText() const;
    std::string errorName() const;

private:
    DBusMessage* message_ = nullptr;
};

}  // namespace tessary
