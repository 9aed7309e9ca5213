// The host's own cost of a service bench: the processor time panel_tool
// watch and its service processes use (their rusage) per service, while
// emulated panels, at a real panel's pace, are serviced with a language
// and a full-range firmware each, read first and verified; as a share of
// one core while a panel is in service, and so how many panels one core
// could serve. The emulated panels answer in this process, whose time is
// not counted. Not part of the suite.
// Usage: host_cost_benchmark [ROUNDS]   (default 2)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator/run_program.h"
#include "emulator/srec_writer.h"
#include "emulator/usb_panel.h"

#include "benchmarks/emulated_bench.h"

namespace {

struct Cost {
    double processor = 0;  // per service, seconds
    double inService = 0;  // mean time a panel was in service, seconds
};

// One watch servicing `count` panels plugged in at its start, stopped
// with SIGINT once each has been serviced.
bool measure(const std::string &dir, std::size_t count, Cost &cost)
{
    std::remove((dir + "/bench.log").c_str());
    const emu::ProgramRun run = watchUntilServiced(
        dir, count, {PANEL_TOOL_PATH, "watch", "--firmware", "full.s19", "--language", "lang.bin", "--log", "bench.log"});
    double seconds = 0;
    std::size_t services = 0;
    if (!loggedSeconds("host_cost_benchmark", run, dir + "/bench.log", seconds, services) || services != count)
        return false;
    cost.processor = (run.userSeconds + run.systemSeconds) / static_cast<double>(count);
    cost.inService = seconds / static_cast<double>(count);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2;
    char folder[] = "/tmp/host-cost-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string dir = folder;
    srec::writeText(dir + "/full.s19", samples::firmware(0x4000, 0x3FFFF, 81));
    const auto language = samples::languageFile(82);
    srec::writeText(dir + "/lang.bin", std::string(language.begin(), language.end()));
    srec::writeText(dir + "/serial_flash.S19", samples::ramDriver(emu::kSerialDriverTag, 0x300, 21));
    srec::writeText(dir + "/cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, 0x280, 22));
    emu::withoutPermissionOverride();
    std::printf("panel_tool watch on the emulated panels at a real panel's pace: a language and a full-range\n"
                "firmware each, read first and verified; processor time of panel_tool and its services\n");
    std::printf("%-7s %-26s %-22s %s\n", "panels", "processor s per service", "share of one core", "panels per core");
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t count : {1u, 4u}) {
            Cost cost;
            if (!measure(dir, count, cost)) {
                ok = false;
                continue;
            }
            char share[48];
            std::snprintf(share, sizeof share, "%.2f%% (of %.1f s)", 100 * cost.processor / cost.inService,
                          cost.inService);
            std::printf("%-7zu %-26.3f %-22s %.0f\n", count, cost.processor, share, cost.inService / cost.processor);
        }
    }
    std::system(("rm -rf " + dir).c_str());
    return ok ? 0 : 1;
}
