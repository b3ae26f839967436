#pragma once

#include <climits>
#include <cstdint>
#include <sqlite3.h>
#include <string>
#include <string_view>

namespace tessary {

// A prepared statement, finalized on every path.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* connection, const char* sql)
    {
        result_ = sqlite3_prepare_v2(connection, sql, -1, &statement_, nullptr);
    }
    ~SqliteStatement() { sqlite3_finalize(statement_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool prepared() const { return result_ == SQLITE_OK; }
    // The bytes must outlive the statement's last step.
    bool bind(int index, std::string_view bytes, bool asBlob)
    {
        if (bytes.size() > INT_MAX)
            return false;
        const auto size = static_cast<int>(bytes.size());
        // A zero-length blob must still bind as a value, never as NULL.
        const char* data = bytes.data() != nullptr ? bytes.data() : "";
        return (asBlob ? sqlite3_bind_blob(statement_, index, data, size, nullptr)
                       : sqlite3_bind_text(statement_, index, data, size, nullptr)) == SQLITE_OK;
    }
    bool bind(int index, std::int64_t value) { return sqlite3_bind_int64(statement_, index, value) == SQLITE_OK; }
    bool bindNull(int index) { return sqlite3_bind_null(statement_, index) == SQLITE_OK; }
    int step() { return sqlite3_step(statement_); }
    std::string bytes(int column)
    {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        const auto size = sqlite3_column_bytes(statement_, column);
        return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
    bool isNull(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

private:
    sqlite3_stmt* statement_ = nullptr;
    int result_;
};

}  // namespace tessary
