#include "agent/service/JsonFields.h"

#include <cmath>
#include <limits>

namespace tessary {

JsonFields::JsonFields(const nlohmann::json& value, std::string recordName)
    : object_(value), recordName_(std::move(recordName))
{
    if (!object_.is_object())
        throw DecodingError("The data couldn’t be read because " + recordName_ + " is not a JSON object.");
}

void JsonFields::fail(const char* key, const char* problem) const
{
    throw DecodingError("The data couldn’t be read because the key \"" + std::string(key) + "\" of " +
                        recordName_ + " " + problem + ".");
}

const nlohmann::json& JsonFields::required(const char* key) const
{
    const auto found = object_.find(key);
    if (found == object_.end())
        fail(key, "is missing");
    if (found->is_null())
        fail(key, "is null");
    return *found;
}

const nlohmann::json* JsonFields::optional(const char* key) const
{
    const auto found = object_.find(key);
    if (found == object_.end() || found->is_null())
        return nullptr;
    return &*found;
}

std::optional<std::int64_t> JsonFields::exactInt64(const nlohmann::json& value)
{
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^63 is exactly representable; anything at or beyond it does not fit.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::string JsonFields::requiredString(const char* key) const
{
    const auto& value = required(key);
    if (!value.is_string())
        fail(key, "is not a string");
    return value.get<std::string>();
}

bool JsonFields::requiredBool(const char* key) const
{
    const auto& value = required(key);
    if (!value.is_boolean())
        fail(key, "is not a Boolean");
    return value.get<bool>();
}

std::int64_t JsonFields::requiredInt(const char* key) const
{
    const auto number = exactInt64(required(key));
    if (!number)
        fail(key, "is not a 64-bit integer");
    return *number;
}

const nlohmann::json& JsonFields::requiredArray(const char* key) const
{
    const auto& value = required(key);
    if (!value.is_array())
        fail(key, "is not an array");
    return value;
}

std::vector<std::string> JsonFields::requiredStrings(const char* key) const
{
    const auto& array = requiredArray(key);
    std::vector<std::string> strings;
    strings.reserve(array.size());
    for (const auto& element : array) {
        if (!element.is_string())
            fail(key, "holds an element that is not a string");
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

std::optional<std::string> JsonFields::optionalString(const char* key) const
{
    const auto* value = optional(key);
    if (value == nullptr)
        return std::nullopt;
    if (!value->is_string())
        fail(key, "is not a string");
    return value->get<std::string>();
}

std::optional<std::int64_t> JsonFields::optionalInt(const char* key) const
{
    const auto* value = optional(key);
    if (value == nullptr)
        return std::nullopt;
    const auto number = exactInt64(*value);
    if (!number)
        fail(key, "is not a 64-bit integer");
    return number;
}

}  // namespace tessary
