// The bench's record as history reads it: read-only, while a bench
// writes it, and without anything of the panel's (the view reads it so).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "panel_service/json_text.h"

// A UTC time as a person gives it ("2026-12-08", "2026-12-08T09:30",
// "2026-12-08T09:30:00Z") in the form the record keeps ("2026-12-08T09:30:00Z"),
// so that the two compare as times; false when it is not such a time.
bool recordedTime(const std::string &given, std::string &recorded);

// What history looks for: the empty ones match everything.
struct HistoryQuery {
    std::string port;
    std::string since;   // this time, as the record keeps times, and later
    std::string result;
    std::size_t last = 0;  // only the last this many; all when 0
};
// The rows of the record at `path` that match, oldest first, each an
// object of its columns (in `columns`' order); read-only. False, with
// `error`.
bool readHistory(const std::string &path, const HistoryQuery &query, std::vector<std::string> &columns,
                 std::vector<Json> &rows, std::string &error);

// The services the record holds from `since` (as the record keeps times):
// all of them, those verified, and those that failed or did not match.
struct ServiceCounts {
    uint32_t serviced = 0;
    uint32_t verified = 0;
    uint32_t failed = 0;
};
bool countServices(const std::string &path, const std::string &since, ServiceCounts &counts, std::string &error);

// The rows as history gives them: CSV (RFC 4180, a header line, CRLF line
// ends), or one JSON array on a line.
std::string historyCsv(const std::vector<std::string> &columns, const std::vector<Json> &rows);
std::string historyJson(const std::vector<Json> &rows);
