#include "platform/linux/JsonFileUserDefaults.h"

#include <nlohmann/json.hpp>

#include "platform/linux/AtomicFile.h"

namespace tessary {

namespace {

nlohmann::json readSettings(const std::filesystem::path& file)
{
    const auto bytes = AtomicFile::read(file);
    if (!bytes)
        return nlohmann::json::object();
    auto parsed = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
    return parsed.is_object() ? parsed : nlohmann::json::object();
}

}  // namespace

JsonFileUserDefaults::JsonFileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

bool JsonFileUserDefaults::boolForKey(const std::string& key)
{
    const auto settings = readSettings(file_);
    const auto found = settings.find(key);
    return found != settings.end() && found->is_boolean() && found->get<bool>();
}

void JsonFileUserDefaults::setBool(const std::string& key, bool value)
{
    auto settings = readSettings(file_);
    settings[key] = value;
    (void)AtomicFile::write(file_, settings.dump(2) + "\n", 0644);
}

}  // namespace tessary
