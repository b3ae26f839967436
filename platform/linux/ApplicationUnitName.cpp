#include "platform/linux/ApplicationUnitName.h"

#include <vector>

#include "platform/HexDigit.h"

namespace tessary {
namespace {

std::vector<std::string_view> splitFields(std::string_view text)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const auto dash = text.find('-', start);
        fields.push_back(text.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start));
        if (dash == std::string_view::npos)
            return fields;
        start = dash + 1;
    }
}

// Undoes systemd's unit-name escaping ("\x2d" for a dash); anything else stays as written.
std::string unescape(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
            const int high = hexDigitValue(field[i + 2]);
            const int low = hexDigitValue(field[i + 3]);
            if (high >= 0 && low >= 0) {
                text += static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

bool endsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::optional<std::string> ApplicationUnitName::applicationId(std::string_view unitName)
{
    constexpr std::string_view kPrefix = "app-";
    const bool scope = endsWith(unitName, ".scope");
    const bool service = endsWith(unitName, ".service");
    if ((!scope && !service) || unitName.substr(0, kPrefix.size()) != kPrefix)
        return std::nullopt;
    std::string_view body = unitName.substr(kPrefix.size(), unitName.size() - kPrefix.size() - (scope ? 6 : 8));

    std::string_view id;
    const auto at = body.find('@');
    if (at != std::string_view::npos) {
        // Template instance: "app[-<launcher>]-<ID>@<RANDOM>.service".
        if (!service || at + 1 == body.size())
            return std::nullopt;
        const auto fields = splitFields(body.substr(0, at));
        if (fields.size() > 2)
            return std::nullopt;
        id = fields.back();
    } else {
        const auto fields = splitFields(body);
        if (scope) {
            // Scopes always end in a random part: "app[-<launcher>]-<ID>-<RANDOM>.scope".
            if (fields.size() < 2 || fields.size() > 3 || fields.back().empty())
                return std::nullopt;
            id = fields[fields.size() - 2];
        } else if (fields.size() == 3) {
            if (fields.back().empty())
                return std::nullopt;
            id = fields[1];
        } else if (fields.size() <= 2) {
            id = fields.back();
        } else {
            return std::nullopt;
        }
    }
    if (id.empty())
        return std::nullopt;
    return unescape(id);
}

std::optional<std::string> ApplicationUnitName::fromCgroupPath(std::string_view cgroupPath)
{
    const auto slash = cgroupPath.rfind('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const auto parent = cgroupPath.substr(0, slash);
    // The unit sits in app.slice itself or in one of its sub-slices ("app-<ID>.slice").
    if ((std::string(parent) + "/").find("/app.slice/") == std::string::npos)
        return std::nullopt;
    if (!endsWith(parent, "/app.slice") && !endsWith(parent, ".slice"))
        return std::nullopt;
    return applicationId(cgroupPath.substr(slash + 1));
}

std::optional<std::string> ApplicationUnitName::dbusActivatedName(std::string_view unitName)
{
    constexpr std::string_view kPrefix = "dbus-:";
    if (unitName.substr(0, kPrefix.size()) != kPrefix || !endsWith(unitName, ".service"))
        return std::nullopt;
    // The unique name (":1.42") holds no dash; the bus name runs from the next one to the '@'.
    const auto dash = unitName.find('-', kPrefix.size());
    const auto at = unitName.rfind('@');
    if (dash == std::string_view::npos || at == std::string_view::npos || at <= dash + 1)
        return std::nullopt;
    return unescape(unitName.substr(dash + 1, at - dash - 1));
}

}  // namespace tessary
