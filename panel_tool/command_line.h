// What panel_tool's command line gave, and how each command declares what
// it takes: its name, its operand, the options it takes, and the words it
// refuses the others with.
#pragma once

#include <bitset>
#include <string>
#include <vector>

#include "bench/bench.h"

// panel_tool's exit statuses, for every command.
enum ExitStatus : int {
    kDone = 0,        // written and verified, already held, the panel matches, saved
    kDiffers = 1,     // the panel does not hold the file (watch: a service failed)
    kUsageError = 2,  // the command line, a file or the configuration cannot be used
    kUnusable = 3,    // the panel, a driver, a file or a backup could not be used, or a step failed
};

enum Option : unsigned {
    kPortOption, kDeviceOption, kDriversOption, kNoVerifyOption, kPingOption, kJsonOption, kQuietOption,
    kFirmwareOption, kLanguageOption, kLogOption, kJobsOption, kFullOption, kBackupOption, kForceOption,
    kRecordOption, kPortsOption, kConfigOption, kSinceOption, kResultOption, kCsvOption, kLiveOption,
    kTrustedKeysOption, kRequireSignatureOption, kOptionCount
};
using Options = std::bitset<kOptionCount>;
Options optionsOf(std::initializer_list<Option> options);

struct Invocation {
    std::string command;
    std::vector<std::string> operands;
    Options given;
    std::string port;
    int bus = 0;
    int device = 0;
    std::string drivers = ".";
    bool verify = true;
    bool full = false;
    std::string backup;  // none when empty
    bool force = false;
    bool ping = false;
    bool json = false;
    bool quiet = false;
    BenchOptions bench;  // watch's, and history's --record
    std::string config;  // watch: the bench's configuration file
    std::string since;   // history's choice of rows
    std::string result;
    bool csv = false;
    std::string trustedKeys;  // flash and load-language's; watch's are in `bench`
    bool requireSignature = false;
};

// Options a command does not take, and the words it refuses them with.
struct Refusal {
    Options options;
    const char *why;
};

struct Command {
    const char *name;
    bool takesFile;
    Options takes;
    // Checked first, before the refusals every command shares.
    std::vector<Refusal> refusals;
    // Checks what the table cannot say, then does the work; the exit
    // status.
    int (*run)(Invocation &invocation);
};

constexpr const char *kProgram = "panel_tool";

// "panel_tool: WHAT" and where to look, on standard error; kUsageError.
int usageError(const std::string &what);

// The commands, each in the file of its family.
int runList(Invocation &invocation);
int runWrite(Invocation &invocation);
int runRestore(Invocation &invocation);
int runReadBack(Invocation &invocation);
int runHistory(Invocation &invocation);
int runWatch(Invocation &invocation);
