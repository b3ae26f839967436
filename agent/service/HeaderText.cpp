#include "agent/service/HeaderText.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace tessary {

std::string HeaderText::withoutControlCharacters(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f)
            continue;
        // U+0080..U+009F are encoded as C2 80..C2 9F.
        if (byte == 0xc2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9f) {
                ++i;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string HeaderText::firstCharacters(std::string_view text, std::size_t count)
{
    const auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::string out;
    if (U_FAILURE(status) || !characters) {
        unicode.tempSubString(0, static_cast<int32_t>(std::min<std::size_t>(count, INT32_MAX))).toUTF8String(out);
        return out;
    }
    characters->setText(unicode);
    int32_t end = characters->first();
    for (std::size_t taken = 0; taken < count; ++taken) {
        const int32_t next = characters->next();
        if (next == icu::BreakIterator::DONE)
            break;
        end = next;
    }
    unicode.tempSubString(0, end).toUTF8String(out);
    return out;
}

}  // namespace tessary
