#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ByteOutput.h"
#include "shared/SharedStore.h"

namespace tessary {

// One reply of the browser protocol, its size known before its first byte is written. A reply
// around a stored value keeps the store's read transaction and reads the value twice through one
// small buffer, first to check and measure it, then to write it: rules can be large, and a process
// that held them whole would touch as much fresh memory as they take, once per message.
class BrowserReply {
public:
    explicit BrowserReply(std::string text);
    // prefix, the JSON value stored under key in compact form, then suffix. Absent when the key is
    // not set, its value is not exactly one JSON value, or it could not be read.
    static std::optional<BrowserReply> aroundStoredValue(std::string prefix, std::unique_ptr<SharedStore> store,
                                                         std::string_view key, std::string suffix);

    std::size_t size() const;
    // Every byte in order. False when the output refused them or the stored value could not be
    // read again; the output may then hold part of the reply.
    bool writeTo(ByteOutput& output);
    // The whole reply; absent when the stored value could not be read again.
    std::optional<std::string> text();

private:
    static constexpr std::size_t kPieceSize = 16 * 1024;

    BrowserReply(std::string prefix, std::string suffix, std::unique_ptr<SharedStore> store);

    // Before the stored value when there is one, else the whole reply.
    std::string text_;
    std::string suffix_;
    std::unique_ptr<SharedStore> store_;
    // Declared after the store, so it goes first and ends its transaction on a store still open.
    std::unique_ptr<SharedStore::ValueReader> value_;
    std::unique_ptr<char[]> piece_;
    std::size_t compactSize_ = 0;
};

}  // namespace tessary
