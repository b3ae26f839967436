#include "tests/support/VirtualDisplay.h"

#include <charconv>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "tests/support/WaitUntil.h"

namespace tessary::testing {

using namespace std::chrono_literals;

std::optional<std::filesystem::path> findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const auto end = std::min(folders.find(':', start), folders.size());
        const auto candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

VirtualDisplay::VirtualDisplay(const std::filesystem::path& program)
    : xvfb_({program.string(), "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"})
{
    // Xvfb writes the display's number on the descriptor once it listens.
    const auto line = xvfb_.started() ? xvfb_.readLine(10s) : std::nullopt;
    int number = 0;
    if (!line || line->empty() || std::from_chars(line->data(), line->data() + line->size(), number).ec != std::errc())
        return;
    const auto socket = std::filesystem::path("/tmp/.X11-unix") / ("X" + *line);
    if (waitUntil([&socket] { return std::filesystem::exists(socket); }, 10s))
        number_ = number;
}

VirtualDisplay::~VirtualDisplay()
{
    // SIGTERM, not ChildProcess's SIGKILL: Xvfb then removes its socket and lock file.
    if (xvfb_.started())
        ::kill(xvfb_.pid(), SIGTERM);
    xvfb_.wait();
}

}  // namespace tessary::testing
