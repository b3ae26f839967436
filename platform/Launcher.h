#pragma once

#include <string>

namespace tessary {

// Hands a URL or a file to the desktop to open. Never waits for the opener.
class Launcher {
public:
    virtual ~Launcher() = default;
    virtual void open(const std::string& urlOrPath) = 0;
};

}  // namespace tessary
