// What the bench keeps of each service it ends: one entry, written as a
// line of the JSON log, a row of the SQLite record and, where the system
// has one, an entry of the journal. All three take their fields from one
// list (service_entry.cpp): a new field is one line there, and a column
// added to the record's schema.
#pragma once

#include <string>
#include <vector>

#include "panel_service/json_text.h"
#include "panel_service/service.h"

// A file the service was to write, and what came of it.
struct FileEntry {
    std::string kind;  // "language", "firmware"
    std::string file;  // absolute
    std::string sha256;
    Signer signer;
    bool ran = false;      // its step began and ended
    ServiceResult result;  // when it ran: the step's result
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

// The entry as the log's JSON line.
Json logLine(const ServiceEntry &entry);

// The entry as the record's row: each column's name and value (null for
// none), in the order of the list.
std::vector<std::pair<std::string, Json>> recordRow(const ServiceEntry &entry);

// The entry's journal fields, "NAME=value", beside the message's own.
std::vector<std::string> journalFields(const ServiceEntry &entry);
