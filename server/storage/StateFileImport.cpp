#include "server/storage/StateFileImport.h"

#include <fstream>

namespace tessary::server {

namespace {

bool isString(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string();
}

}  // namespace

StateFileImport::Outcome StateFileImport::run(const std::filesystem::path& stateFile, FamilyStore& store)
{
    std::error_code error;
    if (!std::filesystem::exists(stateFile, error))
        return {};
    std::ifstream in(stateFile);
    const auto saved = nlohmann::json::parse(in, nullptr, false);
    if (saved.is_discarded() || !saved.is_object())
        return {0, stateFile.string() + " is not a JSON object; it was left in place"};

    // Members that are not what the stand-in wrote are skipped one by one, as it did itself.
    if (const auto release = saved.find("release");
        release != saved.end() && release->is_object() && isString(*release, "version") && isString(*release, "build")) {
        if (auto failed = store.putRelease({(*release)["version"].get<std::string>(), (*release)["build"].get<std::string>()}))
            return {0, failed->description};
    }
    if (const auto next = saved.find("nextFamily"); next != saved.end() && next->is_number_unsigned()) {
        if (auto failed = store.putNextFamily(std::max<std::uint64_t>(1, next->get<std::uint64_t>())))
            return {0, failed->description};
    }
    Outcome outcome;
    if (const auto devices = saved.find("devices"); devices != saved.end() && devices->is_object()) {
        for (const auto& [id, entry] : devices->items()) {
            if (!entry.is_object() || !isString(entry, "familyId") || !isString(entry, "token"))
                continue;
            StoredDevice device{id, entry["token"].get<std::string>(), entry["familyId"].get<std::string>()};
            const auto deleted = entry.find("deleted");
            device.deleted = deleted != entry.end() && deleted->is_boolean() && deleted->get<bool>();
            if (const auto pairing = entry.find("pairing"); pairing != entry.end() && pairing->is_object())
                device.pairing = *pairing;
            if (const auto rules = entry.find("rules"); rules != entry.end() && rules->is_object())
                device.rules = *rules;
            if (auto failed = store.putDevice(device))
                return {outcome.devices, failed->description};
            ++outcome.devices;
        }
    }
    auto imported = stateFile;
    imported += ".imported";
    std::filesystem::rename(stateFile, imported, error);
    if (error)
        outcome.problem = "imported, but " + stateFile.string() + " could not be renamed: " + error.message();
    return outcome;
}

}  // namespace tessary::server
