// Starts a program with the umockdev preload so that its USB calls reach
// the emulated panel of this process.
#pragma once

#include <string>
#include <vector>

namespace emu {

struct ProgramRun {
    bool started = false;
    int exitStatus = -1;  // when it exited
    int signal = 0;       // when a signal ended it
    std::string out;      // its standard output, when captured
    std::string err;      // its standard error, when captured
};

// Runs argv[0] (looked up in PATH when it has no slash) in `workDir`,
// waits for it and returns how it ended. With `capture`, its standard
// output and error are collected instead of passed through, and standard
// output is closed once `outLimit` bytes have come, as `| head -c N` does.
ProgramRun runProgram(const std::vector<std::string> &argv, const std::string &workDir,
                      bool capture, std::size_t outLimit = std::string::npos);

} // namespace emu
