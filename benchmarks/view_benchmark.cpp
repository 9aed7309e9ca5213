// What the bench's view costs while four people watch a bench service
// four panels: the view's processor time (a share of one core) and its
// peak resident memory, the services' time against the same bench with
// no view, and each page's weight and first paint on loopback. The
// emulated panels answer in this process at a real panel's pace, a
// full-range firmware each, read first and verified. Not part of the
// suite: tests/browser/view_browsers.mjs opens the pages in Debian's chromium.
// Usage: view_benchmark [ROUNDS [PAGES]]   (default 4 rounds, 4 pages)
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator/background_run.h"
#include "emulator/srec_writer.h"
#include "emulator/usb_panel.h"

#include "benchmarks/emulated_bench.h"

namespace {

constexpr std::size_t kPanels = 4;
constexpr int kViewPort = 18471;

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream text;
    text << f.rdbuf();
    return text.str();
}

// The processor seconds the process has used so far.
double processorSeconds(int pid)
{
    std::istringstream stat(slurp("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    double ticks = 0;
    for (int i = 1; stat >> field && i <= 15; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakResidentKiB(int pid)
{
    std::istringstream status(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

struct Measured {
    double meanService = 0;  // seconds
    double wall = 0;         // the bench's run, seconds
};

// One bench servicing kPanels panels plugged in at its start, stopped with
// SIGINT once each has been serviced.
bool serviceFour(const std::string &dir, Measured &m)
{
    std::remove((dir + "/bench.log").c_str());
    const auto began = std::chrono::steady_clock::now();
    const emu::ProgramRun run = watchUntilServiced(dir, kPanels,
                                                   {PANEL_TOOL_PATH, "watch", "--firmware", "full.s19", "--log",
                                                    "bench.log", "--record", "bench.sqlite", "--live", "live.json"});
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    double seconds = 0;
    std::size_t services = 0;
    if (!loggedSeconds("view_benchmark", run, dir + "/bench.log", seconds, services) || services != kPanels)
        return false;
    m.meanService = seconds / static_cast<double>(services);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 4;
    const int pages = argc > 2 ? std::atoi(argv[2]) : static_cast<int>(kPanels);
    char folder[] = "/tmp/view-benchmark-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string dir = folder;
    srec::writeText(dir + "/full.s19", samples::firmware(0x4000, 0x3FFFF, 81));
    srec::writeText(dir + "/cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, 0x280, 22));
    emu::withoutPermissionOverride();
    // Rounds alternate, so that neither side has the machine warmer. The
    // browsers run at the lowest priority: on a shop's bench they are on
    // other machines, and here they share its two cores.
    bool ok = true;
    std::vector<double> ratios;
    for (int round = 1; round <= rounds; ++round) {
        Measured alone, watched;
        ok = serviceFour(dir, alone) && ok;
        double viewProcessor = 0;
        long viewPeak = -1;
        std::string shown;
        {
            emu::BackgroundRun view({PANEL_VIEW_PATH, "--record", "bench.sqlite", "--live", "live.json", "--listen",
                                      "127.0.0.1:" + std::to_string(kViewPort)},
                                     dir, {}, SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            emu::BackgroundRun browsers({"/usr/bin/nice", "-n", "19", "/usr/bin/node",
                                          std::string(PANEL_SOURCE_DIR) + "/tests/browser/view_browsers.mjs",
                                          "http://127.0.0.1:" + std::to_string(kViewPort) + "/", std::to_string(pages)},
                                         std::string(PANEL_SOURCE_DIR) + "/tests/browser", {}, SIGTERM);
            ok = browsers.waitFor("OPEN") && ok;
            const double before = processorSeconds(view.id());
            ok = serviceFour(dir, watched) && ok;
            viewProcessor = processorSeconds(view.id()) - before;
            viewPeak = peakResidentKiB(view.id());
            shown = browsers.output();
        }
        std::printf("round %d: a bench servicing %zu emulated panels at a real panel's pace (a full-range firmware\n"
                    "each, read first and verified), without and then with the view and %d browsers watching:\n",
                    round, kPanels, pages);
        std::printf("  mean service: %.2f s without the view, %.2f s with it: ratio %.3f\n", alone.meanService,
                    watched.meanService, watched.meanService / alone.meanService);
        std::printf("  the view: %.2f s of processor in %.1f s (%.2f%% of one core), peak resident %.1f MiB\n",
                    viewProcessor, watched.wall, 100 * viewProcessor / watched.wall, viewPeak / 1024.0);
        std::printf("%s", shown.c_str());
        ratios.push_back(watched.meanService / alone.meanService);
    }
    std::sort(ratios.begin(), ratios.end());
    if (!ratios.empty())
        std::printf("median ratio of %zu rounds: %.3f (from %.3f to %.3f)\n", ratios.size(),
                    ratios[ratios.size() / 2], ratios.front(), ratios.back());
    std::system(("rm -rf " + dir).c_str());
    return ok ? 0 : 1;
}
