#include "server/HttpMessages.h"

#include <algorithm>
#include <cctype>

namespace tessary::server {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::optional<std::string> HttpQuery::header(const std::string& name) const
{
    const auto wanted = lowered(name);
    for (const auto& [key, value] : headers)
        if (lowered(key) == wanted)
            return value;
    return std::nullopt;
}

}  // namespace tessary::server
