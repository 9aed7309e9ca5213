// panel_tool watch: a service bench. Every panel plugged in is serviced
// once, several at once, each in a process of its own; a line tells when
// each appears and how its service ended, and a log keeps a record of
// every service.
#pragma once

#include <string>

struct BenchOptions {
    std::string firmware;
    std::string language;  // none when empty
    std::string drivers = ".";
    std::string log;       // none when empty
    bool verify = true;
    bool full = false;     // everything erased and written, nothing read first
    std::string backup;    // where what each panel held is saved; none when empty
    unsigned jobs = 8;     // services at once, at most
};

// Reads and checks the files and opens the log, then services panels until
// SIGINT, SIGTERM or SIGHUP, and lets the services under way end. Returns
// the exit status: 0 none failed, 1 some failed, 2 a file or the log
// cannot be used (nothing touched), 3 the system cannot tell plug-ins or
// the log could not be written during the run.
int runBench(const BenchOptions &options);
