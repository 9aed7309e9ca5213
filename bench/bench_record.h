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
constexpr int kRecordSchemaVersion = 1;

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

// A UTC time as a person gives it ("2026-12-08", "2026-12-08T09:30",
// "2026-12-08T09:30:00Z") in the form the record keeps ("2026-12-08T09:30:00Z"),
// so that the two compare as times; false when it is not such a time.
bool recordedTime(const std::string &given, std::string &recorded);

// What history looks for: the empty ones match everything.
struct HistoryQuery {
    std::string port;
    std::string since;   // this time, as the record keeps times, and later
    std::string result;
};
// The rows of the record at `path` that match, oldest first, each an
// object of its columns (in `columns`' order); read-only. False, with
// `error`.
bool readHistory(const std::string &path, const HistoryQuery &query, std::vector<std::string> &columns,
                 std::vector<Json> &rows, std::string &error);
