// A prepared SQLite statement, finalised on every path, and its values
// bound as the record keeps them.
#pragma once

#include <cstdint>
#include <sqlite3.h>
#include <string>

#include "panel_service/json_text.h"

class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &statement, nullptr); }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    explicit operator bool() const { return statement != nullptr; }
    sqlite3_stmt *get() const { return statement; }

    void text(int at, const std::string &value)
    {
        if (value.empty())
            sqlite3_bind_null(statement, at);
        else
            sqlite3_bind_text(statement, at, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void number(int at, int64_t value) { sqlite3_bind_int64(statement, at, value); }
    // A JSON value as its column keeps it: null as NULL, a truth as 1 or 0.
    void bind(int at, const Json &value)
    {
        if (value.is_string()) {
            const std::string &t = value.get_ref<const std::string &>();
            sqlite3_bind_text(statement, at, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
        } else if (value.is_boolean()) {
            number(at, value.get<bool>() ? 1 : 0);
        } else if (value.is_number_float()) {
            sqlite3_bind_double(statement, at, value.get<double>());
        } else if (value.is_number()) {
            number(at, value.get<int64_t>());
        } else {
            sqlite3_bind_null(statement, at);
        }
    }

private:
    sqlite3_stmt *statement = nullptr;
};

// What went wrong with `db`, as SQLite says it.
inline std::string sqliteError(sqlite3 *db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }
