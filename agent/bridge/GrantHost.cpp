#include "agent/bridge/GrantHost.h"

#include "platform/HexDigit.h"

namespace tessary {

namespace {

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Characters a URL may carry literally (RFC 3986), and well-formed percent escapes.
bool isUrlText(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F)
            return false;
        if (std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
        if (c == '%' && (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 || hexDigitValue(text[i + 2]) < 0))
            return false;
    }
    return true;
}

std::string percentDecoded(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            decoded += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

}  // namespace

std::optional<std::string> GrantHost::hostOf(std::string_view address)
{
    if (!isUrlText(address))
        return std::nullopt;
    auto rest = address;
    const auto schemeEnd = address.find_first_of(":/?#");
    if (schemeEnd != std::string_view::npos && address[schemeEnd] == ':') {
        if (schemeEnd == 0 || !isAlpha(address[0]))
            return std::nullopt;
        for (const char c : address.substr(0, schemeEnd))
            if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
                return std::nullopt;
        rest = address.substr(schemeEnd + 1);
    }
    if (rest.substr(0, 2) != "//")
        return std::nullopt;
    auto authority = rest.substr(2, rest.find_first_of("/?#", 2) - 2);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);

    std::string_view host;
    std::string_view afterHost;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(1, close - 1);
        afterHost = authority.substr(close + 1);
    } else {
        const auto colon = authority.rfind(':');
        host = authority.substr(0, colon);
        afterHost = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (!afterHost.empty()) {
        if (afterHost.front() != ':')
            return std::nullopt;
        for (const char c : afterHost.substr(1))
            if (!isDigit(c))
                return std::nullopt;
    }
    if (host.empty() || host.find_first_of("[]") != std::string_view::npos)
        return std::nullopt;
    return percentDecoded(host);
}

std::string GrantHost::normalise(std::string_view address)
{
    auto host = hostOf(address);
    if (!host)
        return std::string(address);
    if (host->starts_with("www."))
        host->erase(0, 4);
    return *host;
}

}  // namespace tessary
