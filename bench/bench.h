// panel_tool watch: a service bench. Every panel plugged in is serviced
// once, several at once, each in a process of its own; a line tells when
// each appears and how its service ended; the log, the record (SQLite)
// and the journal keep every service.
#pragma once

#include <map>
#include <string>
#include <vector>

struct BenchOptions {
    std::string firmware;
    std::string language;  // none when empty
    std::string drivers = ".";
    std::string log;       // JSON lines; none when empty
    std::string record;    // the SQLite database; none when empty
    bool verify = true;
    bool full = false;     // everything erased and written, nothing read first
    std::string backup;    // where what each panel held is saved; none when empty
    // The files are refused unless signed by a key in `trustedKeys` (the
    // system's folder when empty); with keys and not required, a file
    // signed is checked, one unsigned taken.
    bool requireSignature = false;
    std::string trustedKeys;
    unsigned jobs = 8;     // services at once, at most
    // Only the panels plugged into these ports; every port when empty.
    std::vector<std::string> ports;
    // Where the bench publishes its live state for a watcher (the view);
    // none when empty. And a label per port, for a watcher to show.
    std::string live;
    std::map<std::string, std::string> labels;
};

enum class BenchEnd {
    NoneFailed,
    SomeFailed,
    CannotStart,  // a file, the log or the record cannot be used: nothing touched
    CannotGoOn,   // the system cannot tell plug-ins, or the log or the record could not be written
};

// Reads and checks the files and opens the log and the record, then
// services panels until SIGINT, SIGTERM or SIGHUP, and lets the services
// under way end.
BenchEnd runBench(const BenchOptions &options);
