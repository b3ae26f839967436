#include "platform/JsonText.h"

namespace tessary {

Expected<nlohmann::json> JsonText::parse(std::string_view bytes)
{
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
