// What the bench keeps of each service it ends: one entry, written as a
// line of the JSON log, a row of the SQLite record and, where the system
// has one, an entry of the journal. The record (SQLite, WAL) holds one
// row per service, committed in one transaction when the service ends, so
// that a power cut loses at most the services still under way; `history`
// reads it, read-only, while a bench writes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "panel_service/record.h"

struct sqlite3;

// A file the service was to write, and what came of it.
struct FileEntry {
    std::string kind;  // "language", "firmware"
    std::string file;  // absolute
    std::string sha256;
    bool ran = false;  // its step began and ended
    std::string heldSha256;  // what the panel held, as read; empty when not read
    int heldBootCheck = -1;  // the firmware's: 1 passed, 0 failed; -1 unknown
    uint32_t sectorsErased = 0;
    uint32_t pagesWritten = 0;
    uint32_t pagesSkipped = 0;
    uint32_t pagesVerified = 0;
    std::string backup;  // where what it held was saved
    std::string result;  // the step's
};

struct ServiceEntry {
    std::string time;     // when it ended, UTC: "2026-12-08T09:30:12Z"
    std::string station;  // the host's name
    std::string port;
    std::vector<FileEntry> files;
    uint32_t pagesWritten = 0;
    bool verified = false;
    double seconds = 0;
    std::string result;  // "verified", "written", "mismatch", "failed"
    std::string step;    // the step that failed
    std::string cause;
};

// A file's entry from the service's record of its step.
FileEntry fileEntryOf(const std::string &kind, const std::string &file, const std::string &sha256,
                      const Record *step);

// The entry as the log's JSON line.
Record logLine(const ServiceEntry &entry);

// The record's schema version, in the database's user_version: a later
// release finds it there to migrate an older record.
constexpr int kRecordSchemaVersion = 1;

class BenchDatabase {
public:
    BenchDatabase() = default;
    ~BenchDatabase();
    BenchDatabase(const BenchDatabase &) = delete;
    BenchDatabase &operator=(const BenchDatabase &) = delete;

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
                 std::vector<Record> &rows, std::string &error);
