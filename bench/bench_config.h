// A service bench's configuration file, as the system service runs it
// (/etc/panel-service-tools/bench.conf): one "key = value" a line, "#"
// beginning a comment. Keys: firmware, language, drivers, jobs, ports,
// record, log, backup, live, verify (yes or no), full (yes or no),
// trusted_keys, require_signature (yes or no) and "label PORT" (what a
// watcher shows beside that socket). Paths are as the command line takes
// them, relative to the working directory. A configuration requires
// signed files, by the keys in the system's folder, unless it says
// otherwise: the service bench is where an altered file does most harm.
#pragma once

#include <string>
#include <vector>

#include "bench/bench.h"

// Fills `options` from the file at `path`; false, with `error` naming the
// file and the line, for anything it cannot take: a missing file, an
// unknown key, a bad value, no firmware.
bool readBenchConfig(const std::string &path, BenchOptions &options, std::string &error);

// "1-1.2,1-1.3": the ports of the bench's sockets; false for an empty
// one.
bool parsePorts(const std::string &text, std::vector<std::string> &ports);
// A number of services at once, 1 to 64.
bool parseJobs(const std::string &text, unsigned &jobs);
