// panel_gadget: presents the emulated panel as a real USB device, through
// a FunctionFS function on the gadget side of a USB controller (dummy_hcd
// in the test machine). It runs until SIGTERM or SIGINT, then writes what
// the panel holds into the results folder.
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "emulator/gadget/ffs_panel.h"

namespace {

const char kHelp[] =
    "Usage: panel_gadget --ffs=DIR --udc=NAME --results=DIR [options]\n"
    "Presents the emulated panel through the FunctionFS instance mounted at\n"
    "DIR; bind the function to the controller NAME once \"ready\" is printed.\n"
    "On SIGTERM writes serial.bin, flash.bin, ram.bin, violations.txt and\n"
    "summary.txt into the results folder and exits 0.\n"
    "  --used-panel          start with an old firmware and language\n"
    "  --fail-out=N[:KIND]   the Nth OUT transfer fails: gone (unplug,\n"
    "                        default; gone-bus-error is the same here: the\n"
    "                        kernel ends the transfer as it will), stall, or\n"
    "                        never (no answer)\n"
    "  --fail-in=N[:KIND]    the same for the Nth IN transfer\n"
    "  --ping=other          answer the ping with a first byte other than \"B\"\n"
    "  --worn-page=N         a write of flash page N keeps one byte wrong\n"
    "  --worn-serial-page=N  the same for serial flash page N\n"
    "  --replug-after=MS     after an unplug (a gone fault), plug in again\n"
    "  --erase-ms=N, --program-ms=N\n"
    "                        an erase, a page program take this long\n";

struct Options {
    std::string ffs, udc, results;
    emu::ModelFaults model;
    emu::TransferFaults transfers;
    emu::PanelStart start = emu::PanelStart::Blank;
    int replugAfterMs = -1;
};

bool parse(int argc, char **argv, Options &o)
{
    enum { kFfs = 256, kUdc, kResults, kUsed, kFailOut, kFailIn, kPing, kWorn, kWornSerial, kReplug, kErase,
           kProgram, kHelpOpt };
    static const option longOptions[] = {
        {"ffs", required_argument, nullptr, kFfs},
        {"udc", required_argument, nullptr, kUdc},
        {"results", required_argument, nullptr, kResults},
        {"used-panel", no_argument, nullptr, kUsed},
        {"fail-out", required_argument, nullptr, kFailOut},
        {"fail-in", required_argument, nullptr, kFailIn},
        {"ping", required_argument, nullptr, kPing},
        {"worn-page", required_argument, nullptr, kWorn},
        {"worn-serial-page", required_argument, nullptr, kWornSerial},
        {"replug-after", required_argument, nullptr, kReplug},
        {"erase-ms", required_argument, nullptr, kErase},
        {"program-ms", required_argument, nullptr, kProgram},
        {"help", no_argument, nullptr, kHelpOpt},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
        case kFfs: o.ffs = optarg; break;
        case kUdc: o.udc = optarg; break;
        case kResults: o.results = optarg; break;
        case kUsed: o.start = emu::PanelStart::Used; break;
        case kFailOut: ok = emu::parseTransferFault(optarg, false, o.transfers.outFaultAt, o.transfers.outFault); break;
        case kFailIn: ok = emu::parseTransferFault(optarg, true, o.transfers.inFaultAt, o.transfers.inFault); break;
        case kPing:
            o.model.ping = emu::PingReply::OtherFirstByte;
            ok = std::strcmp(optarg, "other") == 0;
            break;
        case kWorn: o.model.wornFlashPage = std::atoi(optarg); break;
        case kWornSerial: o.model.wornSerialPage = std::atoi(optarg); break;
        case kReplug: o.replugAfterMs = std::atoi(optarg); break;
        case kErase: o.model.eraseMs = static_cast<unsigned>(std::atoi(optarg)); break;
        case kProgram: o.model.programMs = static_cast<unsigned>(std::atoi(optarg)); break;
        case kHelpOpt: std::fputs(kHelp, stdout); std::exit(0);
        default: ok = false;
        }
        if (!ok)
            return false;
    }
    // A controller reports a bus error of its own accord; the gadget side
    // cannot cause one with the panel staying attached.
    for (emu::TransferFault kind : {o.transfers.outFault, o.transfers.inFault})
        if (kind == emu::TransferFault::BusError) {
            std::fputs("panel_gadget: a bus error cannot be acted out from the gadget side\n", stderr);
            return false;
        }
    return !o.ffs.empty() && !o.udc.empty() && !o.results.empty() && optind == argc;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fputs("panel_gadget: bad arguments; see --help\n", stderr);
        return 2;
    }
    // Only the main thread takes the signal that ends the run, so that the
    // results are written while the other threads sit in their transfers.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    emu::FfsPanel panel(o.ffs, o.udc, o.model, o.transfers, o.start);
    panel.replugAfterMs = o.replugAfterMs;
    std::string error;
    if (!panel.start(error)) {
        std::fprintf(stderr, "panel_gadget: %s\n", error.c_str());
        return 3;
    }
    std::thread(&emu::FfsPanel::serveEvents, &panel).detach();
    std::thread(&emu::FfsPanel::serveTransfers, &panel).detach();
    std::puts("ready");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    const bool written = panel.writeResults(o.results);
    std::fflush(stdout);
    _exit(written ? 0 : 3);
}
