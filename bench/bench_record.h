// The bench's record: an SQLite database (WAL) that holds one row per
// service, committed in one transaction when the service ends, so that a
// power cut loses at most the services still under way; `history` reads
// it, read-only, while a bench writes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/service_entry.h"
#include "panel_service/json_text.h"

struct sqlite3;

// The record's schema version, in the database's user_version: a later
// release finds it there to migrate an older record.
constexpr int kRecordSchemaVersion = 2;

class BenchRecord {
public:
    BenchRecord() = default;
    ~BenchRecord();
    BenchRecord(const BenchRecord &) = delete;
    BenchRecord &operator=(const BenchRecord &) = delete;

    // Opens the record at `path` (made when missing, with its schema),
    // and writes the bench's start into it: a record that cannot be
    // opened or written is found out before any panel is touched. False,
    // with `error`.
    bool open(const std::string &path, const std::string &station, std::string &error);
    // One service's row, in one transaction. False, with `error`.
    bool add(const ServiceEntry &entry, std::string &error);

private:
    bool run(const char *sql, std::string &error);
    sqlite3 *db = nullptr;
};
