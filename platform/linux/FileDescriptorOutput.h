#pragma once

#include "platform/ByteOutput.h"

namespace tessary {

// Writes to an open file descriptor (not owned), retrying interrupted and partial writes.
class FileDescriptorOutput final : public ByteOutput {
public:
    explicit FileDescriptorOutput(int fd) : fd_(fd) {}
    // Standard output, with SIGPIPE ignored: a reader that went away makes the write fail
    // instead of killing the process.
    static FileDescriptorOutput standardOutput();

    bool writeAll(std::string_view bytes) override;

private:
    int fd_;
};

}  // namespace tessary
