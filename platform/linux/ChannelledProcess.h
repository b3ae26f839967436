#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/Pidfd.h"
#include "platform/linux/ScopedFd.h"

namespace tessary {

// A helper program started with one end of a sequenced-packet socket pair as its descriptor 3 and
// the other end kept here: each send is one message, and either side sees the other's end close.
class ChannelledProcess {
public:
    // The descriptor the helper finds its end of the channel on.
    static constexpr int kChannelDescriptor = 3;

    // Starts `program` with `arguments` and this process's environment, standard input from
    // /dev/null and the other standard descriptors shared. Absent when it cannot be started.
    static std::optional<ChannelledProcess> start(const std::filesystem::path& program,
                                                  const std::vector<std::string>& arguments);

    // This end of the channel (non-blocking, close-on-exec), once; closing it ends the helper's input.
    ScopedFd takeChannel() { return std::move(channel_); }
    const Pidfd& process() const { return process_; }
    // Collects the exit status of a helper that has exited; false while it still runs.
    bool reap() const;

private:
    ChannelledProcess(ScopedFd channel, Pidfd process) : channel_(std::move(channel)), process_(std::move(process)) {}

    ScopedFd channel_;
    Pidfd process_;
};

}  // namespace tessary
