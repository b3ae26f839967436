#pragma once

#include <utility>
#include <variant>

#include "agent/service/APIFailure.h"

namespace tessary {

// The outcome of one API client operation.
template <typename T>
class [[nodiscard]] APIResult {
public:
    APIResult(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    APIResult(APIFailure failure) : state_(std::move(failure)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool hasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const APIFailure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, APIFailure> state_;
};

}  // namespace tessary
