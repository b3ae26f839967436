#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tessary {

// The description of a failure, as shown to a user or stored as a last error.
struct Error {
    std::string description;
};

// A value or the error that prevented it. Module boundaries return this instead of throwing.
template <typename T, typename E = Error>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Expected(E error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool hasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

}  // namespace tessary
