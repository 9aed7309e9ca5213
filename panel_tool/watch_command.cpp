// watch: the bench, with the settings of the command line or of its
// configuration file.
#include <cstdio>

#include "bench/bench_config.h"
#include "panel_tool/command_line.h"

int runWatch(Invocation &in)
{
    if (!in.config.empty()) {
        // The configuration says it all: a service runs nothing else.
        const Options settings = optionsOf({kFirmwareOption, kLanguageOption, kLogOption, kJobsOption, kPortsOption,
                                            kFullOption, kBackupOption, kNoVerifyOption, kLiveOption,
                                            kTrustedKeysOption, kRequireSignatureOption});
        if ((in.given & settings).any() || in.drivers != ".")
            return usageError("give the bench's settings in --config or on the command line, not both");
        std::string error;
        if (!readBenchConfig(in.config, in.bench, error)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return kUsageError;
        }
    } else {
        if (in.bench.firmware.empty())
            return usageError("watch needs --firmware FILE.s19 (or --config FILE)");
        in.bench.drivers = in.drivers;
        in.bench.verify = in.verify;
        in.bench.full = in.full;
        in.bench.backup = in.backup;
    }
    switch (runBench(in.bench)) {
    case BenchEnd::NoneFailed: return kDone;
    case BenchEnd::SomeFailed: return kDiffers;
    case BenchEnd::CannotStart: return kUsageError;
    case BenchEnd::CannotGoOn: break;
    }
    return kUnusable;
}
