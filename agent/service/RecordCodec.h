#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/service/JsonFields.h"
#include "platform/Expected.h"
#include "platform/JsonText.h"

namespace tessary {

// All-or-nothing decoding of a record that provides `static Record read(const JsonFields&)`.
template <typename Record>
class RecordCodec {
public:
    static Expected<Record> fromJson(const nlohmann::json& value)
    {
        try {
            return Record::read(JsonFields(value, Record::kRecordName));
        } catch (const DecodingError& e) {
            return Error{e.what()};
        }
    }

    static Expected<Record> decode(std::string_view bytes)
    {
        auto parsed = JsonText::parse(bytes);
        if (!parsed)
            return parsed.error();
        return fromJson(parsed.value());
    }
};

}  // namespace tessary
