#include "shared/SqliteDefenses.h"

#include <algorithm>

#include "shared/SqliteStatement.h"

namespace tessary {

std::optional<Error> SqliteDefenses::apply(sqlite3* connection)
{
    struct Setting {
        int option;
        int value;
    };
    static constexpr Setting kSettings[] = {
        {SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
        {SQLITE_DBCONFIG_ENABLE_VIEW, 0},
        {SQLITE_DBCONFIG_DEFENSIVE, 1},
        {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
    };
    for (const auto& setting : kSettings) {
        int now = -1;
        if (sqlite3_db_config(connection, setting.option, setting.value, &now) != SQLITE_OK || now != setting.value)
            return Error{std::string("SQLite refused a defensive setting: ") + sqlite3_errmsg(connection)};
    }
    return std::nullopt;
}

Expected<std::vector<std::string>> SqliteDefenses::foreignObjects(sqlite3* connection,
                                                                  const std::vector<SchemaObject>& expected)
{
    SqliteStatement select(connection, "SELECT type, name, tbl_name, sql FROM sqlite_master");
    if (!select.prepared())
        return Error{std::string("The schema could not be read: ") + sqlite3_errmsg(connection)};
    std::vector<std::string> foreign;
    std::vector<bool> present(expected.size(), false);
    int result = select.step();
    for (; result == SQLITE_ROW; result = select.step()) {
        const auto type = select.bytes(0);
        const auto name = select.bytes(1);
        const auto sql = select.bytes(3);
        const auto known = std::find_if(expected.begin(), expected.end(), [&](const SchemaObject& object) {
            return type == object.type && name == object.name;
        });
        if (known != expected.end()) {
            present[static_cast<std::size_t>(known - expected.begin())] = true;
            if (known->sql == nullptr || sql == known->sql)
                continue;
            foreign.push_back(type + " " + name + " (altered)");
            continue;
        }
        // Names come from the file: a described object is cut short.
        auto described = type + " " + name.substr(0, 64);
        if (const auto table = select.bytes(2); table != name)
            described += " on " + table.substr(0, 64);
        foreign.push_back(std::move(described));
    }
    if (result != SQLITE_DONE)
        return Error{std::string("The schema could not be read: ") + sqlite3_errmsg(connection)};
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (expected[i].required && !present[i])
            foreign.push_back(std::string("no ") + expected[i].type + " " + expected[i].name);
    return foreign;
}

std::string SqliteDefenses::finding(const std::string& file, const std::vector<std::string>& objects)
{
    std::string listed;
    for (const auto& object : objects)
        listed += (listed.empty() ? "" : ", ") + object;
    return "the " + file + " holds schema objects the agent did not create (" + listed + ")";
}

}  // namespace tessary
