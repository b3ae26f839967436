#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Expected.h"

namespace tessary {

// Hands a URL or a file to the desktop to open. Never waits for the opener.
class Launcher {
public:
    // Told once, on the main queue: absent when the opener runs or ran without a failure, else
    // why it could not open.
    using Opened = std::function<void(std::optional<Error>)>;

    virtual ~Launcher() = default;
    virtual void open(const std::string& urlOrPath, Opened opened) = 0;
};

}  // namespace tessary
