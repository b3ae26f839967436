#pragma once

#include <optional>
#include <sqlite3.h>
#include <string>
#include <vector>

#include "platform/Expected.h"

namespace tessary {

// What every connection to a file that any process of the user can write takes before its first
// statement. A trigger or view planted in the file then never runs (one BEFORE INSERT trigger with
// RAISE(IGNORE) would otherwise swallow every write for good), SQL functions in the schema are not
// trusted, and the schema cannot be written around SQLite's own checks.
class SqliteDefenses {
public:
    struct SchemaObject {
        const char* type;
        const char* name;
        // The statement SQLite keeps for it, exactly; null where SQLite keeps none (its own indexes).
        const char* sql;
        // Its absence is damage too (a table dropped and made again differently, or renamed away).
        bool required;
    };

    // An error when the library refused one of them; the connection must then not be used.
    [[nodiscard]] static std::optional<Error> apply(sqlite3* connection);
    // Each schema object of the file that is not one of those expected, as "trigger x on outbox";
    // an expected one made with other SQL, as "table outbox (altered)"; a required one that is
    // missing, as "no table outbox". SQLite's own objects (sqlite_sequence, automatic indexes of the
    // expected tables) count as expected only when listed.
    static Expected<std::vector<std::string>> foreignObjects(sqlite3* connection,
                                                             const std::vector<SchemaObject>& expected);
    // What is reported of them: "the <file> holds schema objects the agent did not create (a, b)".
    static std::string finding(const std::string& file, const std::vector<std::string>& objects);
};

}  // namespace tessary
