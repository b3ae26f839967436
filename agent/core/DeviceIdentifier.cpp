#include "agent/core/DeviceIdentifier.h"

#include <array>
#include <cstdint>
#include <random>

#include "agent/core/DeviceConfig.h"

namespace tessary {

namespace {
constexpr auto kPrefix = "device-";
constexpr auto kAccount = "deviceId";
}  // namespace

std::string DeviceIdentifier::generate()
{
    std::random_device entropy;
    std::array<std::uint8_t, 16> bytes{};
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(entropy() & 0xFFU);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0FU) | 0x40U);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3FU) | 0x80U);  // RFC 4122 variant

    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text = kPrefix;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0FU];
    }
    return text;
}

std::string DeviceIdentifier::loadOrCreate(DeviceConfig& config)
{
    if (auto stored = config.load(kAccount))
        return *stored;
    auto identifier = generate();
    config.save(identifier, kAccount);
    return identifier;
}

bool DeviceIdentifier::isWellFormed(const std::string& identifier)
{
    const std::string_view prefix = kPrefix;
    if (identifier.size() != prefix.size() + 36 || identifier.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (std::size_t i = 0; i < 36; ++i) {
        const char c = identifier[prefix.size() + i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

}  // namespace tessary
