#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/Expected.h"

namespace tessary {

// One value substituted into a log format. Text, counts, Booleans, seconds and errors render
// as the system log shows them.
class LogArgument {
public:
    LogArgument(std::string_view text) : text_(text) {}  // NOLINT(google-explicit-constructor)
    LogArgument(const std::string& text) : text_(text) {}  // NOLINT(google-explicit-constructor)
    LogArgument(const char* text) : text_(text) {}  // NOLINT(google-explicit-constructor)
    LogArgument(bool value) : text_(value ? "true" : "false") {}  // NOLINT(google-explicit-constructor)
    LogArgument(const Error& error) : text_(error.description) {}  // NOLINT(google-explicit-constructor)
    LogArgument(double seconds);  // NOLINT(google-explicit-constructor)
    template <typename Integer>
        requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>)
    LogArgument(Integer count) : text_(std::to_string(count))  // NOLINT(google-explicit-constructor)
    {
    }

    const std::string& text() const { return text_; }

private:
    std::string text_;
};

}  // namespace tessary
