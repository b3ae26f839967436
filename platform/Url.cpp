#include "platform/Url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace tessary {

namespace {

std::string lowered(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool allowedHostCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text)
{
    const auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos || schemeEnd == 0)
        return std::nullopt;
    Url url;
    url.scheme = lowered(text.substr(0, schemeEnd));
    if (!std::all_of(url.scheme.begin(), url.scheme.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    auto rest = text.substr(schemeEnd + 3);
    const auto pathStart = rest.find('/');
    auto authority = rest.substr(0, pathStart);
    url.path = pathStart == std::string_view::npos ? std::string() : std::string(rest.substr(pathStart));
    if (url.path.find_first_of("?#") != std::string::npos)
        return std::nullopt;
    for (char c : url.path)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return std::nullopt;

    const auto colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
        const auto portText = authority.substr(colon + 1);
        std::uint16_t port = 0;
        const auto [end, problem] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (portText.empty() || problem != std::errc() || end != portText.data() + portText.size() || port == 0)
            return std::nullopt;
        url.port = port;
        authority = authority.substr(0, colon);
    }
    if (authority.empty() || !std::all_of(authority.begin(), authority.end(), allowedHostCharacter))
        return std::nullopt;
    url.host = lowered(authority);
    return url;
}

std::uint16_t Url::effectivePort() const
{
    if (port)
        return *port;
    return (scheme == "https" || scheme == "wss") ? 443 : 80;
}

std::string Url::authority() const
{
    return port ? host + ":" + std::to_string(*port) : host;
}

std::string Url::text() const
{
    return scheme + "://" + authority() + path;
}

}  // namespace tessary
