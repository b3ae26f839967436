#pragma once

#include "platform/ByteInput.h"

namespace tessary {

// Reads an open file descriptor (not owned), retrying interrupted and partial reads.
class FileDescriptorInput final : public ByteInput {
public:
    explicit FileDescriptorInput(int fd) : fd_(fd) {}
    static FileDescriptorInput standardInput() { return FileDescriptorInput(0); }

    std::string readUpTo(std::size_t count) override;

private:
    int fd_;
};

}  // namespace tessary
