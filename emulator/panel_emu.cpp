// panel_emu: runs a program against a fresh emulated panel.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

#include "emulator/capture/usb_capture.h"
#include "emulator/run_program.h"
#include "emulator/srec_writer.h"
#include "emulator/usb_panel.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitEmulator = 3;
constexpr int kExitViolation = 4;

const char kHelp[] =
    "Usage: panel_emu [options] -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM against a fresh emulated panel on the real libusb-0.1 stack.\n"
    "PROGRAM's standard output passes through untouched; panel_emu exits with\n"
    "PROGRAM's exit status, 128+N when signal N ended it, " "4 when PROGRAM broke\n"
    "the USB protocol (the violations go to standard error), 3 when the\n"
    "emulator could not be set up and 2 on a usage error.\n"
    "\n"
    "Panel:\n"
    "  --driver=KIND         RAM driver the uploaded pages stand for: serial,\n"
    "                        panel, none, or auto (default: recognise the\n"
    "                        sample drivers of --make-samples)\n"
    "  --used-panel          the panel starts with an old firmware and an old,\n"
    "                        loaded language (default: both erased)\n"
    "  --read-only           any write or erase request is a protocol violation\n"
    "                        (for a program that must only read)\n"
    "Faults:\n"
    "  --no-panel            only another product of the panel's maker is\n"
    "                        connected\n"
    "  --decoy-first         another product of the panel's maker is listed first\n"
    "  --second-panel        a second panel is listed after the first\n"
    "  --refuse-open         the panel is listed but its node cannot be opened\n"
    "  --no-access           this user may not open the panel's node (mode 0000)\n"
    "  --read-only-node      this user may read the panel's node but not write\n"
    "                        it (0444, as Debian leaves it without the rule)\n"
    "  --refuse-config=ERR   configuration 1 is refused (busy, invalid, perm:\n"
    "                        the node stops being writable)\n"
    "  --refuse-claim=ERR    the claim of interface 0 is refused (busy, ...)\n"
    "  --kernel-driver       a kernel driver holds interface 0 until detached\n"
    "  --fail-out=N[:KIND]   the Nth OUT transfer fails; KIND is gone (the\n"
    "                        panel is unplugged, default), stall, never\n"
    "                        (no answer: a 5 s time-out), bus-error (an\n"
    "                        error on the bus, the panel stays attached), or\n"
    "                        gone-bus-error (unplugged, the transfer ended\n"
    "                        with that error before the kernel noticed)\n"
    "  --fail-in=N[:KIND]    the same for the Nth IN transfer, and also partial\n"
    "                        (the first 64-byte packet comes, then nothing) or\n"
    "                        overflow (more than the host asked for: a reply's\n"
    "                        header and payload in one packet)\n"
    "  --ping=REPLY          ping answer: normal, other (first byte not \"B\"),\n"
    "                        empty, oversized (266 bytes)\n"
    "  --panel-reply-length=N  replies of the panel flash driver carry N bytes\n"
    "  --ping-reply-length=N   the ping's reply carries N bytes (\"B\" first)\n"
    "  --garbage=WHAT        replies carry pseudo-random bytes: ping, driver\n"
    "  --worn-page=N         a write of flash page N is answered as done but\n"
    "                        leaves one byte wrong (a worn cell)\n"
    "  --worn-serial-page=N  the same for serial flash page N\n"
    "  --realistic-timing    an erase takes 20 ms and a page program 2 ms, as on\n"
    "                        a 256 KiB on-chip flash (default: at once)\n"
    "Several panels:\n"
    "  --panels=N            N panels on the bus, each with its own memories;\n"
    "                        the faults above are the first one's\n"
    "Captures (usbmon records, as Wireshark and tshark read and save them):\n"
    "  --pcap=FILE           write the session as a pcap capture (link type 220)\n"
    "  --replay=FILE         be the panel of a capture (pcap or pcapng): answer\n"
    "                        each transfer as the capture does; the first one\n"
    "                        that differs from it is a protocol violation\n"
    "  --replay-device=B:D   the panel is device D on bus B of the capture\n"
    "                        (default: the one that says 15a2:0040, else the\n"
    "                        first with bulk transfers on 0x02 and 0x81)\n"
    "Output:\n"
    "  --wire-log=FILE       every transfer and configuration step, one a line\n"
    "  --serial-flash=FILE   the serial flash after the run (512 pages)\n"
    "  --panel-flash=FILE    the panel flash after the run (1024 pages)\n"
    "  --ram=FILE            the panel's RAM after the run (64 KiB)\n"
    "                        (these three of the first panel)\n"
    "  --summary             after the run, say on standard error what the\n"
    "                        panel now holds: pages written, the language\n"
    "                        header, the firmware checksum word and whether\n"
    "                        the boot check accepts it\n"
    "Samples:\n"
    "  --make-samples=DIR    write serial_flash.S19, cf_flash.S19, language.bin\n"
    "                        and firmware.s19 (our own generated files) into\n"
    "                        DIR and exit\n"
    "  --help                this text\n";

bool parseErrno(const char *text, int &out)
{
    const std::string s = text;
    if (s == "busy") out = EBUSY;
    else if (s == "invalid") out = EINVAL;
    else if (s == "perm") out = EPERM;
    else return false;
    return true;
}

// A frame length a reply header can announce.
bool parseLength(const char *text, int &out)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    out = static_cast<int>(n);
    return *end == '\0' && end != text && n >= 0 && n <= 65535;
}

bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    return srec::writeText(path, std::string(bytes.begin(), bytes.end()));
}

bool makeSamples(const std::string &dir)
{
    const auto language = samples::languageFile(1);
    return srec::writeText(dir + "/serial_flash.S19", samples::ramDriver(emu::kSerialDriverTag, 0x600, 2)) &&
           srec::writeText(dir + "/cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, 0x900, 3)) &&
           writeBytes(dir + "/language.bin", language) &&
           srec::writeText(dir + "/firmware.s19", samples::firmware(panel::kFirmwareRange.first, panel::kFirmwareRange.last, 4));
}

struct Options {
    emu::RamDriver driver = emu::RamDriver::Auto;
    emu::ModelFaults modelFaults;
    emu::UsbFaults usbFaults;
    emu::PanelStart start = emu::PanelStart::Blank;
    bool readOnly = false;
    int panels = 1;
    std::string wireLog, serialFlash, panelFlash, ram, samplesDir, pcap, replay, replayDevice;
    bool summary = false;
    std::vector<std::string> program;
};

enum OptionId {
    kDriver = 256, kNoPanel, kRefuseOpen, kDecoy, kSecond, kRefuseConfig, kRefuseClaim, kKernel,
    kFailOut, kFailIn, kPing, kReplyLength, kWireLog, kSerial, kPanel, kRam, kSamples, kHelpOpt, kSummary, kPingLength, kGarbage,
    kNoAccess, kUsedPanel, kPcap, kReplay, kReplayDevice, kReadOnly, kReadOnlyNode, kWornPage, kWornSerialPage,
    kPanels, kTiming,
};

// Returns -1 to go on, else the exit status.
int parseOptions(int argc, char **argv, Options &o)
{
    static const option longOptions[] = {
        {"driver", required_argument, nullptr, kDriver},
        {"no-panel", no_argument, nullptr, kNoPanel},
        {"decoy-first", no_argument, nullptr, kDecoy},
        {"second-panel", no_argument, nullptr, kSecond},
        {"refuse-open", no_argument, nullptr, kRefuseOpen},
        {"no-access", no_argument, nullptr, kNoAccess},
        {"read-only-node", no_argument, nullptr, kReadOnlyNode},
        {"used-panel", no_argument, nullptr, kUsedPanel},
        {"read-only", no_argument, nullptr, kReadOnly},
        {"pcap", required_argument, nullptr, kPcap},
        {"replay", required_argument, nullptr, kReplay},
        {"replay-device", required_argument, nullptr, kReplayDevice},
        {"refuse-config", required_argument, nullptr, kRefuseConfig},
        {"refuse-claim", required_argument, nullptr, kRefuseClaim},
        {"kernel-driver", no_argument, nullptr, kKernel},
        {"fail-out", required_argument, nullptr, kFailOut},
        {"fail-in", required_argument, nullptr, kFailIn},
        {"ping", required_argument, nullptr, kPing},
        {"panel-reply-length", required_argument, nullptr, kReplyLength},
        {"wire-log", required_argument, nullptr, kWireLog},
        {"serial-flash", required_argument, nullptr, kSerial},
        {"panel-flash", required_argument, nullptr, kPanel},
        {"ram", required_argument, nullptr, kRam},
        {"summary", no_argument, nullptr, kSummary},
        {"ping-reply-length", required_argument, nullptr, kPingLength},
        {"garbage", required_argument, nullptr, kGarbage},
        {"worn-page", required_argument, nullptr, kWornPage},
        {"worn-serial-page", required_argument, nullptr, kWornSerialPage},
        {"panels", required_argument, nullptr, kPanels},
        {"realistic-timing", no_argument, nullptr, kTiming},
        {"make-samples", required_argument, nullptr, kSamples},
        {"help", no_argument, nullptr, kHelpOpt},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    opterr = 1;
    while ((c = getopt_long(argc, argv, "+", longOptions, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        bool ok = true;
        switch (c) {
        case kDriver:
            if (arg == "serial") o.driver = emu::RamDriver::SerialFlash;
            else if (arg == "panel") o.driver = emu::RamDriver::PanelFlash;
            else if (arg == "none") o.driver = emu::RamDriver::None;
            else if (arg == "auto") o.driver = emu::RamDriver::Auto;
            else ok = false;
            break;
        case kNoPanel: o.usbFaults.noPanel = true; break;
        case kRefuseOpen: o.usbFaults.openRefused = true; break;
        case kNoAccess: o.usbFaults.noAccess = true; break;
        case kReadOnlyNode: o.usbFaults.readOnlyNode = true; break;
        case kUsedPanel: o.start = emu::PanelStart::Used; break;
        case kReadOnly: o.readOnly = true; break;
        case kPcap: o.pcap = arg; break;
        case kReplay: o.replay = arg; break;
        case kReplayDevice: o.replayDevice = arg; break;
        case kDecoy: o.usbFaults.decoyFirst = true; break;
        case kSecond: o.usbFaults.secondPanel = true; break;
        case kRefuseConfig: ok = parseErrno(optarg, o.usbFaults.configErrno); break;
        case kRefuseClaim: ok = parseErrno(optarg, o.usbFaults.claimErrno); break;
        case kKernel: o.usbFaults.kernelDriver = true; break;
        case kFailOut: ok = emu::parseTransferFault(optarg, false, o.usbFaults.outFaultAt, o.usbFaults.outFault); break;
        case kFailIn: ok = emu::parseTransferFault(optarg, true, o.usbFaults.inFaultAt, o.usbFaults.inFault); break;
        case kPing:
            if (arg == "normal") o.modelFaults.ping = emu::PingReply::Normal;
            else if (arg == "other") o.modelFaults.ping = emu::PingReply::OtherFirstByte;
            else if (arg == "empty") o.modelFaults.ping = emu::PingReply::Empty;
            else if (arg == "oversized") o.modelFaults.ping = emu::PingReply::Oversized;
            else ok = false;
            break;
        case kReplyLength: ok = parseLength(optarg, o.modelFaults.panelReplyLength); break;
        case kPingLength: ok = parseLength(optarg, o.modelFaults.pingReplyLength); break;
        case kGarbage:
            if (arg == "ping") o.modelFaults.garbagePing = true;
            else if (arg == "driver") o.modelFaults.garbageDriverReplies = true;
            else ok = false;
            break;
        case kWornPage: ok = parseLength(optarg, o.modelFaults.wornFlashPage); break;
        case kWornSerialPage: ok = parseLength(optarg, o.modelFaults.wornSerialPage); break;
        case kPanels: ok = parseLength(optarg, o.panels) && o.panels >= 1 && o.panels <= 16; break;
        case kTiming:
            o.modelFaults.eraseMs = emu::kRealisticEraseMs;
            o.modelFaults.programMs = emu::kRealisticProgramMs;
            break;
        case kWireLog: o.wireLog = arg; break;
        case kSerial: o.serialFlash = arg; break;
        case kPanel: o.panelFlash = arg; break;
        case kRam: o.ram = arg; break;
        case kSummary: o.summary = true; break;
        case kSamples: o.samplesDir = arg; break;
        case kHelpOpt: std::fputs(kHelp, stdout); return 0;
        default: ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "panel_emu: bad option value '%s'; see --help\n", arg.c_str());
            return kExitUsage;
        }
    }
    for (int i = optind; i < argc; ++i)
        o.program.emplace_back(argv[i]);
    if (!o.samplesDir.empty())
        return makeSamples(o.samplesDir) ? 0 : kExitEmulator;
    if (o.program.empty()) {
        std::fputs("panel_emu: no program given; see --help\n", stderr);
        return kExitUsage;
    }
    return -1;
}

bool writeResults(const Options &o, const emu::UsbPanel &panel)
{
    bool ok = true;
    const emu::PanelModel model = panel.model();
    if (!o.wireLog.empty()) {
        std::string text;
        for (const auto &entry : panel.wire())
            text += entry.text() + "\n";
        ok = srec::writeText(o.wireLog, text) && ok;
    }
    if (!o.serialFlash.empty())
        ok = writeBytes(o.serialFlash, model.serialFlash()) && ok;
    if (!o.panelFlash.empty())
        ok = writeBytes(o.panelFlash, model.panelFlash()) && ok;
    if (!o.ram.empty())
        ok = writeBytes(o.ram, model.ram()) && ok;
    std::string error;
    if (!o.pcap.empty() && !emu::writeCapture(o.pcap, panel.wire(), error)) {
        std::fprintf(stderr, "panel_emu: %s\n", error.c_str());
        ok = false;
    }
    return ok;
}

// "N (first-last)" for the pages or sectors a run touched.
std::string countAndSpan(const std::vector<int> &numbers)
{
    if (numbers.empty())
        return "0";
    const auto [low, high] = std::minmax_element(numbers.begin(), numbers.end());
    return std::to_string(numbers.size()) + " (" + std::to_string(*low) + "-" +
           std::to_string(*high) + ")";
}

// What one panel now holds; `who` names it when there are several.
void printSummary(const emu::PanelModel &model, const std::string &who)
{
    char line[160];
    std::fprintf(stderr, "panel_emu: %sRAM driver pages uploaded: %s\n", who.c_str(),
                 countAndSpan(model.ramPagesWritten).c_str());
    if (!model.serialPagesWritten.empty()) {
        const bool marked =
            model.serialFlash()[panel::kLanguageHeaderPage * panel::kPageSize + panel::kLanguageHeaderMarkByte] == 1;
        std::fprintf(stderr, "panel_emu: %sserial flash pages written: %s; language header %s\n", who.c_str(),
                     countAndSpan(model.serialPagesWritten).c_str(), marked ? "marked as loaded" : "not marked");
    }
    if (!model.sectorsErased.empty()) {
        std::snprintf(line, sizeof line, "checksum word at 0x4200: 0x%08X, boot check %s",
                      panel::bigEndianWord(model.panelFlash().data() + panel::kChecksumAddress),
                      model.bootCheckPasses() ? "passes" : "FAILS");
        std::fprintf(stderr, "panel_emu: %spanel flash sectors erased: %s, pages written: %s; %s\n", who.c_str(),
                     countAndSpan(model.sectorsErased).c_str(), countAndSpan(model.flashPagesWritten).c_str(),
                     line);
    }
}

void printSummaries(const emu::UsbPanel &panels)
{
    const std::size_t count = panels.panelCount();
    for (std::size_t i = 0; i < count; ++i)
        printSummary(panels.model(i), count > 1 ? "panel at port " + panels.panelPort(i) + ": " : "");
}

// A capture that cannot serve as the panel is refused before the program
// starts, with what is wrong with it.
bool loadReplay(const Options &o, emu::UsbPanel &panel)
{
    std::vector<emu::CapturedTransfer> transfers;
    std::vector<std::string> notes;
    std::string error;
    if (!emu::readCapture(o.replay, transfers, error) || !emu::selectPanel(transfers, o.replayDevice, notes, error)) {
        std::fprintf(stderr, "panel_emu: %s: %s\n", o.replay.c_str(), error.c_str());
        return false;
    }
    for (const auto &note : notes)
        std::fprintf(stderr, "panel_emu: replay: %s\n", note.c_str());
    panel.replayCapture(std::move(transfers));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const int early = parseOptions(argc, argv, o);
    if (early >= 0)
        return early;

    // An interrupted run still ends here, so the testbed is removed: the
    // signal reaches the program, which ends, and runProgram returns.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);

    emu::UsbPanel panel(o.driver, o.modelFaults, o.usbFaults, o.start);
    for (int i = 1; i < o.panels; ++i) {
        emu::PanelSpec spec;
        spec.driver = o.driver;
        spec.start = o.start;
        spec.model.eraseMs = o.modelFaults.eraseMs;
        spec.model.programMs = o.modelFaults.programMs;
        panel.addPanel(spec);
    }
    if (!panel.ready()) {
        std::fprintf(stderr, "panel_emu: %s\n", panel.setupError().c_str());
        return kExitEmulator;
    }
    if (!o.replay.empty() && !loadReplay(o, panel))
        return kExitEmulator;
    panel.setReadOnlyHost(o.readOnly);
    const emu::ProgramRun run = emu::runProgram(o.program, "", false);
    if (!run.started) {
        std::fprintf(stderr, "panel_emu: cannot start %s\n", o.program[0].c_str());
        return kExitEmulator;
    }
    if (run.signal == 0)
        panel.checkHostEnded(false);
    if (!writeResults(o, panel)) {
        std::fputs("panel_emu: cannot write the output files\n", stderr);
        return kExitEmulator;
    }
    const auto violations = panel.violations();
    for (const auto &v : violations)
        std::fprintf(stderr, "panel_emu: protocol violation: %s\n", v.c_str());
    if (!violations.empty())
        return kExitViolation;
    if (o.summary)
        printSummaries(panel);
    if (run.exitStatus == 127)
        std::fprintf(stderr, "panel_emu: %s could not be run\n", o.program[0].c_str());
    return run.signal != 0 ? 128 + run.signal : run.exitStatus;
}
