#include "platform/JsonText.h"

namespace tessary {

namespace {

// A scan of brackets outside strings, so the parser never sees what it would have to recurse into.
bool nestsDeeperThan(std::string_view bytes, std::size_t limit)
{
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : bytes) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

Expected<nlohmann::json> JsonText::parse(std::string_view bytes)
{
    if (nestsDeeperThan(bytes, kMaximumDepth))
        return Error{"The data couldn’t be read because it isn’t in the correct format. (nesting deeper than " +
                     std::to_string(kMaximumDepth) + " levels)"};
    try {
        return nlohmann::json::parse(bytes.begin(), bytes.end());
    } catch (const nlohmann::json::exception& e) {
        return Error{std::string("The data couldn’t be read because it isn’t in the correct format. (") + e.what() +
                     ")"};
    }
}

Expected<std::string> JsonText::dump(const nlohmann::json& value)
{
    try {
        return value.dump();
    } catch (const nlohmann::json::exception& e) {
        return Error{std::string("The data couldn’t be written because it isn’t in the correct format. (") +
                     e.what() + ")"};
    }
}

}  // namespace tessary
