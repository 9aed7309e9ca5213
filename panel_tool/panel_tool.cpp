#include "panel_tool/panel_tool.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "devlink/panel_list.h"
#include "panel_tool/bench.h"
#include "panel_tool/bench_config.h"
#include "panel_tool/bench_record.h"
#include "panel_service/backup.h"
#include "panel_service/record.h"
#include "panel_tool/progress_bars.h"
#include "panel_service/service.h"
#include "panel_service/sha256.h"

namespace {

constexpr int kDone = 0;
constexpr int kUsageError = 2;
constexpr int kUnusable = 3;

constexpr const char *kProgram = "panel_tool";

const char kUsage[] =
    "Usage: panel_tool [OPTIONS] COMMAND [FILE]\n"
    "Services the panel through its USB bootloader, with the RAM drivers\n"
    "serial_flash.S19 and cf_flash.S19.\n"
    "\n"
    "Commands:\n"
    "  list                      every panel on this host: its port, bus and\n"
    "                            device, speed, and whether this user may open it\n"
    "  flash FILE.s19            read the panel's firmware, erase and write only\n"
    "                            the sectors that differ from what panel_flasher\n"
    "                            would leave, then read them back and compare\n"
    "  load-language FILE        the same for a language file: only the pages\n"
    "                            that differ are written, the header last\n"
    "  restore BACKUP            put back what a panel held, from a backup folder\n"
    "                            that --backup saved\n"
    "  verify-firmware FILE.s19  compare the panel's flash with a firmware\n"
    "  verify-language FILE      compare the panel's serial flash with a language\n"
    "  save-firmware OUT.s19     save the panel's flash as S3 records\n"
    "  save-language OUT         save the panel's language (65,792 bytes)\n"
    "  watch --firmware FILE.s19 [--language FILE] [--log FILE] [--record FILE]\n"
    "        [--jobs N] [--ports P1,P2,...]   or   watch --config FILE\n"
    "                            a service bench: every panel plugged in gets the\n"
    "                            language (if given), then the firmware, each\n"
    "                            verified; several at once; Ctrl-C stops taking\n"
    "                            panels and lets those under way finish\n"
    "  history --record FILE [--port P] [--since T] [--result R] [--csv]\n"
    "                            the services a bench's record holds (read only)\n"
    "\n"
    "Options:\n"
    "  --port PATH               the panel at this port (as list shows it, e.g.\n"
    "                            1-1.4); needed when more than one is plugged in\n"
    "  --device BUS:DEV          the panel with these bus and device numbers\n"
    "  --drivers DIR             the RAM drivers' folder (default: the working\n"
    "                            directory)\n"
    "  --full                    flash, load-language, restore, watch: erase and\n"
    "                            write everything, as panel_flasher and lang_loader\n"
    "                            do, without reading the panel first\n"
    "  --backup DIR              flash, load-language, restore, watch: first save\n"
    "                            what the panel holds in a folder of its own in DIR\n"
    "  --force                   restore: also a firmware that failed the panel's\n"
    "                            boot check, exactly as it was held\n"
    "  --no-verify               flash, load-language, restore, watch: do not read\n"
    "                            back\n"
    "  --ping                    list: also ask each panel's bootloader\n"
    "  --firmware, --language    watch: the files every panel gets\n"
    "  --log FILE                watch: append a JSON line per service to FILE\n"
    "  --record FILE             watch: keep a row per service in the SQLite\n"
    "                            database FILE; history: read it\n"
    "  --jobs N                  watch: at most N services at once (default 8)\n"
    "  --ports P1,P2,...         watch: only the panels in these ports; others\n"
    "                            are told of and never opened\n"
    "  --config FILE             watch: the settings from FILE (as the system\n"
    "                            service runs it), one 'key = value' a line\n"
    "  --since T, --result R     history: rows from T (UTC, 2026-12-08 or\n"
    "                            2026-12-08T09:30:00Z), with result R\n"
    "  --csv                     history: CSV instead of a table\n"
    "  --json                    one JSON result on standard output (history:\n"
    "                            an array of the rows)\n"
    "  --quiet                   nothing on standard output\n"
    "  --help, --version\n"
    "\n"
    "On a terminal, a bar per phase shows the progress.\n"
    "Exit status: 0 done (written and verified, already held, the panel matches,\n"
    "saved), 1 the panel does not hold the file, 2 a usage error, 3 the panel, a\n"
    "driver, a file or a backup could not be used, or a step failed. watch: 0 no\n"
    "service failed, 1 one or more failed, 2 a file, the configuration, the log\n"
    "or the record cannot be used, 3 plug-ins cannot be heard or the log or the\n"
    "record could not be written. history: 0 read, 2 a usage error, 3 the record\n"
    "cannot be read.\n";

struct Options {
    std::string command;
    std::vector<std::string> operands;
    std::string port;
    bool deviceGiven = false;
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
    BenchOptions bench;
    bool benchOption = false;  // one of watch's options was given
    std::string config;        // watch: the bench's configuration file
    std::string since;         // history's choice of rows
    std::string result;
    bool csv = false;
    bool historyOption = false;
};

int usageError(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\nTry 'panel_tool --help'.\n", kProgram, what.c_str());
    return kUsageError;
}

// The operands each command takes.
int operandsOf(const std::string &command)
{
    if (command == "list" || command == "watch" || command == "history")
        return 0;
    for (const char *withFile : {"flash", "load-language", "restore", "verify-firmware", "verify-language",
                                 "save-firmware", "save-language"})
        if (command == withFile)
            return 1;
    return -1;
}

// watch services every panel, with the files its options give. -1 to go
// on, else the exit status.
int checkWatch(Options &o)
{
    if (!o.config.empty()) {
        // The configuration says it all: a service runs nothing else.
        if (o.benchOption || o.full || !o.backup.empty() || !o.verify || o.drivers != ".")
            return usageError("give the bench's settings in --config or on the command line, not both");
        std::string error;
        if (!readBenchConfig(o.config, o.bench, error)) {
            std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
            return kUsageError;
        }
        return -1;
    }
    if (o.bench.firmware.empty())
        return usageError("watch needs --firmware FILE.s19 (or --config FILE)");
    if (!o.port.empty() || o.deviceGiven)
        return usageError("watch services every panel plugged in: --port and --device are not for it");
    if (o.ping || o.json || o.quiet)
        return usageError("--ping, --json and --quiet are not for watch (--log keeps a record)");
    if (o.force)
        return usageError("--force is for restore");
    o.bench.drivers = o.drivers;
    o.bench.verify = o.verify;
    o.bench.full = o.full;
    o.bench.backup = o.backup;
    return -1;
}

// history reads the record that --record names, its rows chosen by port,
// time and result. -1 to go on, else the exit status.
int checkHistory(Options &o)
{
    if (o.bench.record.empty())
        return usageError("history needs --record FILE, the bench's record");
    if (o.deviceGiven || o.ping || o.quiet || o.full || !o.backup.empty() || !o.verify || o.force)
        return usageError("history takes --record, --port, --since, --result and --csv or --json");
    if (o.csv && o.json)
        return usageError("give --csv or --json, not both");
    if (!o.since.empty() && !recordedTime(o.since, o.since))
        return usageError("--since takes a UTC time, 2026-12-08 or 2026-12-08T09:30:00Z, not '" + o.since + "'");
    return -1;
}

// Which options each command takes beyond the common ones. -1 to go on,
// else the exit status.
int checkCommandOptions(const Options &o)
{
    const bool writes = o.command == "flash" || o.command == "load-language" || o.command == "restore";
    if (!writes && (o.full || !o.backup.empty() || !o.verify))
        return usageError("--full, --backup and --no-verify are for flash, load-language, restore and watch");
    if (o.force && o.command != "restore")
        return usageError("--force is for restore");
    return -1;
}

// -1 to go on, else the exit status.
int parseArguments(int argc, char **argv, Options &o)
{
    enum { kPort = 256, kDevice, kDrivers, kNoVerify, kPing, kJson, kQuiet, kHelp, kVersion, kFirmware, kLanguage,
           kLog, kJobs, kFull, kBackup, kForce, kRecord, kPorts, kConfig, kSince, kResult, kCsv };
    static const option options[] = {
        {"port", required_argument, nullptr, kPort},
        {"device", required_argument, nullptr, kDevice},
        {"drivers", required_argument, nullptr, kDrivers},
        {"no-verify", no_argument, nullptr, kNoVerify},
        {"ping", no_argument, nullptr, kPing},
        {"json", no_argument, nullptr, kJson},
        {"quiet", no_argument, nullptr, kQuiet},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {"firmware", required_argument, nullptr, kFirmware},
        {"language", required_argument, nullptr, kLanguage},
        {"log", required_argument, nullptr, kLog},
        {"jobs", required_argument, nullptr, kJobs},
        {"full", no_argument, nullptr, kFull},
        {"backup", required_argument, nullptr, kBackup},
        {"force", no_argument, nullptr, kForce},
        {"record", required_argument, nullptr, kRecord},
        {"ports", required_argument, nullptr, kPorts},
        {"config", required_argument, nullptr, kConfig},
        {"since", required_argument, nullptr, kSince},
        {"result", required_argument, nullptr, kResult},
        {"csv", no_argument, nullptr, kCsv},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (c) {
        case kPort: o.port = optarg; break;
        case kDevice:
            o.deviceGiven = true;
            if (std::sscanf(optarg, "%d:%d", &o.bus, &o.device) != 2 || o.bus <= 0 || o.device <= 0)
                return usageError(std::string("--device takes BUS:DEV, as list shows them, not '") + optarg + "'");
            break;
        case kDrivers: o.drivers = optarg; break;
        case kNoVerify: o.verify = false; break;
        case kFull: o.full = true; break;
        case kBackup:
            if (*optarg == '\0')
                return usageError("--backup takes a folder");
            o.backup = optarg;
            break;
        case kForce: o.force = true; break;
        case kRecord: o.bench.record = optarg; break;
        case kPorts:
            if (!parsePorts(optarg, o.bench.ports))
                return usageError(std::string("--ports takes ports separated by commas, not '") + optarg + "'");
            o.benchOption = true;
            break;
        case kConfig: o.config = optarg; break;
        case kSince: o.since = optarg; o.historyOption = true; break;
        case kResult: o.result = optarg; o.historyOption = true; break;
        case kCsv: o.csv = true; o.historyOption = true; break;
        case kPing: o.ping = true; break;
        case kJson: o.json = true; break;
        case kQuiet: o.quiet = true; break;
        case kHelp: std::fputs(kUsage, stdout); return kDone;
        case kVersion: std::printf("panel_tool %s\n", PANEL_VERSION); return kDone;
        case kFirmware: o.bench.firmware = optarg; o.benchOption = true; break;
        case kLanguage: o.bench.language = optarg; o.benchOption = true; break;
        case kLog: o.bench.log = optarg; o.benchOption = true; break;
        case kJobs:
            if (!parseJobs(optarg, o.bench.jobs))
                return usageError(std::string("--jobs takes a number from 1 to 64, not '") + optarg + "'");
            o.benchOption = true;
            break;
        default: return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind == argc)
        return usageError("give a command");
    o.command = argv[optind];
    o.operands.assign(argv + optind + 1, argv + argc);
    const int wanted = operandsOf(o.command);
    if (wanted < 0)
        return usageError("unknown command '" + o.command + "'");
    if (static_cast<int>(o.operands.size()) != wanted)
        return usageError(o.command + (wanted == 0 ? " takes no file" : " takes one file"));
    if (!o.port.empty() && o.deviceGiven)
        return usageError("give --port or --device, not both");
    if (o.command == "watch")
        return checkWatch(o);
    if (o.benchOption || !o.config.empty())
        return usageError("--firmware, --language, --log, --jobs, --ports and --config are for watch");
    if (o.command == "history")
        return checkHistory(o);
    if (o.historyOption || !o.bench.record.empty())
        return usageError(o.historyOption ? "--since, --result and --csv are for history"
                                          : "--record is for watch and history");
    return checkCommandOptions(o);
}

std::string threeDigits(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

std::string padded(const std::string &text, std::size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// A row per panel under a heading: port, bus and device, speed, access
// and, when asked, the bootloader's answer; then what stands in the way.
void printPanels(const std::vector<PanelPlace> &panels, const std::vector<std::string> &bootloaders, std::FILE *out)
{
    const bool ping = !bootloaders.empty();
    std::fprintf(out, "%s\n", (padded("PORT", 12) + padded("BUS:DEV", 10) + padded("SPEED", 12) +
                               (ping ? padded("ACCESS", 8) + "BOOTLOADER" : std::string("ACCESS"))).c_str());
    for (std::size_t i = 0; i < panels.size(); ++i) {
        const PanelPlace &p = panels[i];
        std::string row = padded(p.port.empty() ? "-" : p.port, 12) +
                          padded(threeDigits(p.bus) + ":" + threeDigits(p.device), 10) +
                          padded(p.speed.empty() ? "?" : p.speed + " Mbit/s", 12) + padded(p.mayOpen ? "yes" : "no", 8);
        std::string detail = p.why;
        if (ping) {
            const bool answers = bootloaders[i] == "answers";
            row += padded(answers ? "answers" : p.mayOpen ? "no" : "-", 11);
            if (!answers && p.mayOpen)
                detail = bootloaders[i];
        }
        row += detail;
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        std::fprintf(out, "%s\n", row.c_str());
    }
}

// Whether the panel's bootloader answers a ping; what stands in the way if
// not.
std::string askBootloader(const PanelPlace &panel)
{
    if (!panel.mayOpen)
        return "-";
    BootLink link;
    if (link.openAt(panel.bus, panel.device) && link.ping())
        return "answers";
    return describe(link.failure());
}

int list(const Options &o)
{
    const std::vector<PanelPlace> panels = listPanels();
    std::vector<std::string> bootloaders;
    if (o.ping)
        for (const PanelPlace &panel : panels)
            bootloaders.push_back(askBootloader(panel));
    if (o.json) {
        Record array = Record::array();
        for (std::size_t i = 0; i < panels.size(); ++i) {
            const PanelPlace &p = panels[i];
            Record panel;
            putText(panel, "port", p.port);
            panel["bus"] = p.bus;
            panel["device"] = p.device;
            panel["speed"] = p.speed;
            panel["access"] = p.mayOpen;
            putText(panel, "why", p.why);
            if (o.ping)
                putText(panel, "bootloader", bootloaders[i]);
            array.push_back(panel);
        }
        std::printf("%s\n", oneLine(array).c_str());
    } else if (!o.quiet) {
        if (panels.empty())
            std::printf("no panel (USB 15a2:0040) on this host\n");
        else
            printPanels(panels, bootloaders, stdout);
    }
    return kDone;
}

// The panel a command works on: the one asked for, or the only one. -1 to
// go on, else the exit status; for 3, `failure` says why and the caller
// reports it.
int choosePanel(const Options &o, PanelPlace &chosen, Failure &failure)
{
    const std::vector<PanelPlace> panels = listPanels();
    std::vector<PanelPlace> matching;
    for (const PanelPlace &p : panels)
        if ((o.port.empty() || p.port == o.port) && (!o.deviceGiven || (p.bus == o.bus && p.device == o.device)))
            matching.push_back(p);
    const bool asked = !o.port.empty() || o.deviceGiven;
    if (matching.empty() && !asked) {
        failure.kind = FailureKind::NoPanel;
        return kUnusable;
    }
    if (matching.size() != 1) {
        // Never a guess: the wrong panel's firmware would be erased.
        std::fprintf(stderr, "%s: %s\n", kProgram,
                     matching.empty() ? ("no panel at " + (o.port.empty() ? "device " + std::to_string(o.bus) + ":" +
                                                                               std::to_string(o.device)
                                                                         : "port " + o.port) + "; the panels:").c_str()
                                      : (std::to_string(panels.size()) +
                                         " panels are plugged in: choose one with --port (or --device):").c_str());
        printPanels(panels, {}, stderr);
        return kUsageError;
    }
    chosen = matching.front();
    if (!chosen.mayOpen) {
        failure = fileFailure(FailureKind::ChosenPanelUnusable, chosen.name() + ": " + chosen.why);
        return kUnusable;
    }
    return -1;
}

// How a command shows its progress and its result.
class Report {
public:
    explicit Report(const Options &o) : json(o.json), quiet(o.quiet)
    {
        if (!json && !quiet && isatty(STDOUT_FILENO) == 1)
            bars = std::make_unique<ProgressBars>(stdout);
    }
    Progress progress() { return bars ? bars->progress() : Progress{}; }

    // The service's result, its line or its cause; its exit status.
    int done(const ServiceResult &r) { return done(std::vector<ServiceResult>{r}, false); }
    // Those of several services, one after another (a JSON array of them,
    // when `many`); the exit status of the first that did not end well.
    int done(const std::vector<ServiceResult> &results, bool many)
    {
        if (bars)
            bars->end();
        Record records = Record::array();
        int status = kDone;
        for (const ServiceResult &r : results) {
            records.push_back(r.record());
            if (!json && !quiet && r.status != kUnusable)
                std::printf("%s\n", r.line.c_str());
            if (r.status == kUnusable)
                std::fflush(stdout);
            if (status == kDone)
                status = r.status;
        }
        if (json)
            std::printf("%s\n", oneLine(many ? records : records.front()).c_str());
        for (const ServiceResult &r : results)
            if (r.status == kUnusable)
                printCause(kProgram, r.failure);
        return status;
    }

private:
    bool json;
    bool quiet;
    std::unique_ptr<ProgressBars> bars;
};

ServiceResult failedBeforeThePanel(const Options &o, const Failure &failure)
{
    ServiceResult r;
    r.command = o.command;
    r.file = o.operands.front();
    r.result = "failed";
    r.failure = failure;
    return r;
}

// The panel a writing command services, and its backup (named by its
// port, or bus and device where the system gives no port) when one is
// asked for. -1 to go on, else the exit status, the failure reported.
int choosePanelToWrite(const Options &o, Report &report, PanelPlace &panel, std::unique_ptr<Backup> &backup)
{
    Failure failure;
    const int early = choosePanel(o, panel, failure);
    if (early == kUnusable)
        return report.done(failedBeforeThePanel(o, failure));
    if (early >= 0 || o.backup.empty())
        return early;
    const std::string name =
        !panel.port.empty() ? panel.port : "bus" + std::to_string(panel.bus) + "-device" + std::to_string(panel.device);
    backup = std::make_unique<Backup>(o.backup, name, std::time(nullptr));
    return -1;
}

// flash and load-language: the file is read and checked before the panel
// is touched.
int write(const Options &o)
{
    Report report(o);
    const std::string &file = o.operands.front();
    Failure failure;
    FirmwareInput firmware;
    LanguageInput language;
    const bool flash = o.command == "flash";
    if (!(flash ? readFirmwareInput(file, o.drivers, firmware, failure)
                 : readLanguageInput(file, o.drivers, language, failure)) ||
        (!o.backup.empty() && !prepareBackupFolder(o.backup, failure)))
        return report.done(failedBeforeThePanel(o, failure));
    PanelPlace panel;
    std::unique_ptr<Backup> backup;
    const int early = choosePanelToWrite(o, report, panel, backup);
    if (early >= 0)
        return early;
    const ServiceOptions options{o.verify, o.full, backup.get()};
    return report.done(flash ? flashFirmware(panel, firmware, options, report.progress())
                             : loadLanguage(panel, language, options, report.progress()));
}

// restore: a backup's language, then its firmware, put back as they were
// held, each only where the panel differs from it. A firmware that failed
// the panel's boot check is put back only when --force says so.
int restore(const Options &o)
{
    Report report(o);
    Failure failure;
    SavedBackup saved;
    FirmwareInput firmware;
    LanguageInput language;
    if (!readBackup(o.operands.front(), saved, failure) ||
        (!saved.language.empty() && !readLanguageInput(saved.language, o.drivers, language, failure)) ||
        (!saved.firmware.empty() && !readHeldFirmwareInput(saved.firmware, o.drivers, firmware, failure)) ||
        (!o.backup.empty() && !prepareBackupFolder(o.backup, failure)))
        return report.done(failedBeforeThePanel(o, failure));
    if (!saved.firmware.empty() && !saved.firmwareBootCheckPassed && !o.force)
        return report.done(failedBeforeThePanel(o, fileFailure(FailureKind::FailingBackup, saved.firmware)));
    PanelPlace panel;
    std::unique_ptr<Backup> backup;
    const int early = choosePanelToWrite(o, report, panel, backup);
    if (early >= 0)
        return early;
    const ServiceOptions options{o.verify, o.full, backup.get()};
    std::vector<ServiceResult> results;
    if (!saved.language.empty())
        results.push_back(loadLanguage(panel, language, options, report.progress()));
    if (!saved.firmware.empty() && (results.empty() || results.back().status == kDone))
        results.push_back(flashFirmware(panel, firmware, options, report.progress()));
    for (ServiceResult &r : results)
        r.command = "restore";
    return report.done(results, true);
}

// verify-* and save-*: panel_readback's work, on the chosen panel.
int readBack(const Options &o)
{
    Report report(o);
    PanelPlace panel;
    Failure failure;
    const int early = choosePanel(o, panel, failure);
    if (early == kUnusable)
        return report.done(failedBeforeThePanel(o, failure));
    if (early >= 0)
        return early;
    const std::string &file = o.operands.front();
    const bool verify = o.command.compare(0, 7, "verify-") == 0;
    const auto began = std::chrono::steady_clock::now();
    const ReadbackOutcome outcome = runReadback(readbackCommandNamed(o.command), file, o.drivers,
                                                PanelChoice{panel.bus, panel.device}, report.progress());
    ServiceResult r;
    r.command = o.command;
    r.port = panel.port;
    r.file = file;
    r.sha256 = outcome.status != kUnusable ? sha256OfFile(file) : std::string();
    r.pagesVerified = verify ? outcome.pages : 0;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    r.status = outcome.status;
    r.result = outcome.status == kUnusable ? "failed" : !verify ? "saved" : outcome.status == 0 ? "match" : "mismatch";
    r.line = outcome.line;
    r.failure = outcome.failure;
    return report.done(r);
}

// A field as CSV has it (RFC 4180): quoted when it holds a comma, a quote
// or a line end, its quotes doubled.
std::string csvField(const Record &value)
{
    if (value.is_null())
        return "";
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The bench's record, read-only: every service's row that matches, as a
// table, CSV or JSON.
int history(const Options &o)
{
    std::vector<std::string> columns;
    std::vector<Record> rows;
    std::string error;
    if (!readHistory(o.bench.record, HistoryQuery{o.port, o.since, o.result}, columns, rows, error)) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, error.c_str());
        return kUnusable;
    }
    if (o.json) {
        Record array = Record::array();
        for (const Record &row : rows)
            array.push_back(row);
        std::printf("%s\n", oneLine(array).c_str());
    } else if (o.csv) {
        std::string line;
        for (const std::string &column : columns)
            line += (line.empty() ? "" : ",") + column;
        std::printf("%s\r\n", line.c_str());
        for (const Record &row : rows) {
            line.clear();
            for (std::size_t c = 0; c < columns.size(); ++c)
                line += (c > 0 ? "," : "") + csvField(row[columns[c]]);
            std::printf("%s\r\n", line.c_str());
        }
    } else if (!o.quiet) {
        std::printf("%-21s %-11s %-13s %6s %8s  %s\n", "TIME", "PORT", "RESULT", "PAGES", "SECONDS", "CAUSE");
        for (const Record &row : rows)
            std::printf("%-21s %-11s %-13s %6s %8.1f  %s\n", textIn(row, "time").c_str(),
                        textIn(row, "port").c_str(), textIn(row, "result").c_str(),
                        row["pages_written"].dump().c_str(),
                        row["seconds"].is_number() ? row["seconds"].get<double>() : 0.0,
                        textIn(row, "cause").c_str());
    }
    return kDone;
}

} // namespace

int runPanelTool(int argc, char **argv)
{
    Options o;
    const int early = parseArguments(argc, argv, o);
    if (early >= 0)
        return early;
    if (o.command == "list")
        return list(o);
    if (o.command == "watch")
        return runBench(o.bench);
    if (o.command == "history")
        return history(o);
    if (o.command == "flash" || o.command == "load-language")
        return write(o);
    if (o.command == "restore")
        return restore(o);
    return readBack(o);
}
