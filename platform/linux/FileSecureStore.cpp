#include "platform/linux/FileSecureStore.h"

#include <nlohmann/json.hpp>

#include "platform/linux/AtomicFile.h"
#include "platform/linux/Base64.h"

namespace tessary {

namespace {

// {"items":[{"service":..., "account":..., "value": base64 of the bytes}]}: values stay bytes.
nlohmann::json readItems(const std::filesystem::path& file)
{
    const auto bytes = AtomicFile::read(file);
    if (!bytes)
        return nlohmann::json::array();
    auto parsed = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object() || !parsed.contains("items") || !parsed["items"].is_array())
        return nlohmann::json::array();
    return parsed["items"];
}

bool matches(const nlohmann::json& item, const std::string& service, const std::string& account)
{
    return item.is_object() && item.value("service", nlohmann::json()) == service &&
           item.value("account", nlohmann::json()) == account;
}

void writeItems(const std::filesystem::path& file, const nlohmann::json& items)
{
    // A file we cannot parse is kept aside rather than overwritten: its owner may still recover it.
    if (const auto existing = AtomicFile::read(file); existing && !existing->empty()) {
        const auto parsed = nlohmann::json::parse(*existing, nullptr, /*allow_exceptions=*/false);
        if (!parsed.is_object()) {
            std::error_code ignored;
            auto aside = file;
            aside += ".unreadable";
            std::filesystem::rename(file, aside, ignored);
        }
    }
    const nlohmann::json document{{"items", items}};
    // A failed write leaves the previous file; the caller's contract is silence.
    (void)AtomicFile::write(file, document.dump(2), 0600);
}

nlohmann::json withoutItem(const nlohmann::json& items, const std::string& service, const std::string& account)
{
    auto kept = nlohmann::json::array();
    for (const auto& item : items)
        if (!matches(item, service, account))
            kept.push_back(item);
    return kept;
}

}  // namespace

FileSecureStore::FileSecureStore(std::filesystem::path file) : file_(std::move(file)) {}

void FileSecureStore::save(const std::string& service, const std::string& account, const std::string& bytes)
{
    auto items = withoutItem(readItems(file_), service, account);
    items.push_back({{"service", service}, {"account", account}, {"value", Base64::encode(bytes)}});
    writeItems(file_, items);
}

std::optional<std::string> FileSecureStore::load(const std::string& service, const std::string& account)
{
    for (const auto& item : readItems(file_)) {
        if (!matches(item, service, account))
            continue;
        const auto value = item.find("value");
        if (value == item.end() || !value->is_string())
            return std::nullopt;
        return Base64::decode(value->get<std::string>());
    }
    return std::nullopt;
}

void FileSecureStore::remove(const std::string& service, const std::string& account)
{
    const auto items = readItems(file_);
    auto kept = withoutItem(items, service, account);
    if (kept.size() != items.size())
        writeItems(file_, kept);
}

}  // namespace tessary
