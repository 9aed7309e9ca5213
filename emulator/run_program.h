// Starts a program with the umockdev preload so that its USB calls reach
// the emulated panel of this process.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace emu {

struct ProgramRun {
    bool started = false;
    int exitStatus = -1;  // when it exited
    int signal = 0;       // when a signal ended it
    std::string out;      // its standard output, when captured
    std::string err;      // its standard error, when captured
    // The processor time it used, and the processes it waited for.
    double userSeconds = 0;
    double systemSeconds = 0;
};

struct RunOptions {
    // Collect standard output and error instead of passing them through.
    bool capture = false;
    // Close standard output once this many bytes have come, as `| head -c N`
    // does.
    std::size_t outLimit = std::string::npos;
    // Standard error into standard output's pipe, as a terminal shows both.
    bool errorIntoOutput = false;
    // Standard output is a terminal (a pseudo-terminal read here), as when
    // a person runs the program; it turns each "\n" into "\r\n". The
    // program leads a session of its own on it: signalling its process
    // group (-pid) is what Ctrl-C does.
    bool terminal = false;
    // Called when the first bytes of standard output arrive.
    std::function<void()> firstOutput;
    // Called with all of standard output so far, each time more arrives.
    std::function<void(const std::string &out)> outputGrew;
    // Called once the program runs, with its process id (to signal it).
    std::function<void(int pid)> started;
    // "NAME=VALUE" entries added to the environment it inherits.
    std::vector<std::string> environment;
};

// Root opens any device node whatever its mode; a technician's account
// cannot. Takes from this process (as runProgram takes from every program
// it runs) the two capabilities that override file permissions, so that
// the emulated panel's node modes mean what they mean for a technician.
void withoutPermissionOverride();

// Runs argv[0] (looked up in PATH when it has no slash) in `workDir`,
// waits for it and returns how it ended.
ProgramRun runProgram(const std::vector<std::string> &argv, const std::string &workDir,
                      const RunOptions &options);
inline ProgramRun runProgram(const std::vector<std::string> &argv, const std::string &workDir, bool capture)
{
    RunOptions options;
    options.capture = capture;
    return runProgram(argv, workDir, options);
}

} // namespace emu
