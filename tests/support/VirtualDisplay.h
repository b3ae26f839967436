#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"

namespace tessary::testing {

// The program of that name in $PATH, if any.
std::optional<std::filesystem::path> findProgram(const std::string& name);

// An Xvfb server of our own. It picks a free display number itself (-displayfd), so tests running
// side by side never collide; the display is ready once its socket exists.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const std::filesystem::path& program);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool ready() const { return number_.has_value(); }
    // As DISPLAY takes it.
    std::string name() const { return ":" + std::to_string(*number_); }

private:
    ChildProcess xvfb_;
    std::optional<int> number_;
};

}  // namespace tessary::testing
