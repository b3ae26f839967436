#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tessary {

// Thrown while reading one record; the record's decode turns it into an error result.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Typed access to a record's fields: a required field must be present with its type; an
// optional one may also be missing or null. Keys the record does not read are ignored.
class JsonFields {
public:
    JsonFields(const nlohmann::json& value, std::string recordName);

    std::string requiredString(const char* key) const;
    bool requiredBool(const char* key) const;
    std::int64_t requiredInt(const char* key) const;
    std::vector<std::string> requiredStrings(const char* key) const;
    const nlohmann::json& requiredArray(const char* key) const;

    std::optional<std::string> optionalString(const char* key) const;
    std::optional<std::int64_t> optionalInt(const char* key) const;

    // A JSON number holding an integer that fits a signed 64-bit value.
    static std::optional<std::int64_t> exactInt64(const nlohmann::json& value);

private:
    const nlohmann::json& required(const char* key) const;
    const nlohmann::json* optional(const char* key) const;
    [[noreturn]] void fail(const char* key, const char* problem) const;

    const nlohmann::json& object_;
    std::string recordName_;
};

}  // namespace tessary
