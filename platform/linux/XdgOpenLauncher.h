#pragma once

#include <string>

#include "platform/Launcher.h"

namespace tessary {

// Runs the opener (xdg-open) fully detached: its own session, reaped by init, never waited for.
class XdgOpenLauncher final : public Launcher {
public:
    explicit XdgOpenLauncher(std::string opener = "xdg-open");
    void open(const std::string& urlOrPath) override;

private:
    std::string opener_;
};

}  // namespace tessary
