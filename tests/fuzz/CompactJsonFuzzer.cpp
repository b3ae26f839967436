// The compactor that passes stored rules on, against nlohmann's parser: whatever nlohmann accepts
// is accepted and keeps its value; whatever is accepted is valid JSON; a text given in pieces (their
// size from the first byte) is judged and compacted as the whole text is.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "shared/CompactJson.h"
#include "tests/support/CompactInPieces.h"

namespace {

// nlohmann compares recursively; very deep values are checked for acceptance only.
bool shallow(const std::string& text)
{
    int depth = 0;
    for (const char c : text)
        if ((c == '[' || c == '{') && ++depth > 200)
            return false;
    return true;
}

// nlohmann rejects numbers that overflow a double, which JSON itself allows.
bool rejectedForRange(const std::string& text)
{
    try {
        [[maybe_unused]] const auto parsed = nlohmann::json::parse(text);
        return false;
    } catch (const nlohmann::json::exception& e) {
        return std::string(e.what()).find("number overflow") != std::string::npos;
    }
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto compact = tessary::CompactJson::compact(text);
    if (tessary::testing::compactInPieces(text, size > 0 ? data[0] % 16 + 1 : 1) != compact)
        std::abort();
    const bool bom = text.rfind("\xef\xbb\xbf", 0) == 0;
    if (!shallow(text))
        return 0;
    const auto expected = nlohmann::json::parse(text, nullptr, false);
    // nlohmann also skips a byte order mark and stops at a NUL byte; JSON allows neither.
    const bool nul = text.find('\0') != std::string::npos;
    if (!expected.is_discarded() && !bom && !nul && !compact)
        std::abort();
    if (!compact)
        return 0;
    if (compact->size() > text.size())
        std::abort();
    const auto actual = nlohmann::json::parse(*compact, nullptr, false);
    if (actual.is_discarded()) {
        if (!rejectedForRange(*compact))
            std::abort();
        return 0;
    }
    if (expected.is_discarded() || actual != expected)
        std::abort();
    if (tessary::CompactJson::compact(*compact) != compact)
        std::abort();
    return 0;
}
