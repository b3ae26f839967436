#pragma once

#include <algorithm>
#include <optional>
#include <string>

#include "shared/CompactJson.h"

namespace tessary::testing {

// The text compacted as a stored value is read: in pieces of pieceSize bytes; absent when it is
// not one value.
inline std::optional<std::string> compactInPieces(std::string text, std::size_t pieceSize)
{
    tessary::CompactJson compactor;
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += pieceSize) {
        auto kept = std::min(pieceSize, text.size() - at);
        if (!compactor.compactPiece(text.data() + at, kept))
            return std::nullopt;
        out.append(text, at, kept);
    }
    if (!compactor.finish())
        return std::nullopt;
    return out;
}

}  // namespace tessary::testing
