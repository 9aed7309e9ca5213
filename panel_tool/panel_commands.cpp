// The commands that work on one panel: list, flash, load-language,
// restore, and the read-back commands; the lines a person reads of them.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "devlink/panel_list.h"
#include "panel_service/backup.h"
#include "panel_service/progress_bars.h"
#include "panel_service/readback.h"
#include "panel_service/service.h"
#include "panel_tool/command_line.h"

namespace {

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

std::string inSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// What a person reads of a service that ended well, or of a mismatch.
std::string serviceLine(const ServiceResult &r, const std::string &panel, bool full)
{
    if (r.end == ServiceEnd::Mismatch)
        return r.cause;
    const bool flash = r.command == "flash";
    const std::string file = std::filesystem::path(r.file).filename().string();
    const std::string saved = r.backup.empty() ? "" : "; what it held is saved in " + r.backup;
    if (r.end == ServiceEnd::AlreadyHeld)
        return "the panel at " + panel + " already holds " + file + ": " +
               (flash ? "nothing erased or written" : "nothing written") + " (" + std::to_string(r.pagesRead) +
               " pages read in " + inSeconds(r.seconds) + ")" + saved;
    const std::string wrote = flash ? "flashed " + file + " to the panel at " + panel
                                    : "loaded " + file + " into the panel at " + panel;
    const std::string how = r.end == ServiceEnd::Verified ? " and verified it: " : " (not verified): ";
    const std::string what =
        full ? std::to_string(r.pagesWritten) + " pages"
        : flash ? std::to_string(r.sectorsErased) + " of " +
                      std::to_string(shapeOf(Memory::Flash).pages / shapeOf(Memory::Flash).pagesPerSector) +
                      " sectors differed, " + std::to_string(r.pagesWritten) + " pages written"
                : std::to_string(r.pagesWritten) + " of " + std::to_string(shapeOf(Memory::SerialFlash).pages) +
                      " pages differed and were written";
    return wrote + how + what + " in " + inSeconds(r.seconds) + saved;
}

int statusOf(ServiceEnd end)
{
    return end == ServiceEnd::Failed ? kUnusable : end == ServiceEnd::Mismatch ? kDiffers : kDone;
}

// How a command shows its progress and its results.
class Report {
public:
    explicit Report(const Invocation &in) : json(in.json), quiet(in.quiet)
    {
        if (!json && !quiet && isatty(STDOUT_FILENO) == 1)
            bars = std::make_unique<ProgressBars>(stdout);
    }
    Progress progress() { return bars ? bars->progress() : Progress{}; }

    // Results, one after another, each with its line (a JSON array of
    // them when `many`); the exit status of the first that did not end
    // well.
    int done(const std::vector<ServiceResult> &results, const std::vector<std::string> &lines, bool many)
    {
        if (bars)
            bars->end();
        Json documents = Json::array();
        int status = kDone;
        for (std::size_t i = 0; i < results.size(); ++i) {
            documents.push_back(results[i]);
            if (!json && !quiet && results[i].end != ServiceEnd::Failed)
                std::printf("%s\n", lines[i].c_str());
            if (results[i].end == ServiceEnd::Failed)
                std::fflush(stdout);
            if (status == kDone)
                status = statusOf(results[i].end);
        }
        if (json)
            std::printf("%s\n", oneLine(many ? documents : documents.front()).c_str());
        for (const ServiceResult &r : results)
            if (r.end == ServiceEnd::Failed)
                printCause(kProgram, r.failure);
        return status;
    }
    int done(const ServiceResult &r, const std::string &line) { return done({r}, {line}, false); }
    // A command that failed before it reached the panel.
    int failed(const Invocation &in, const Failure &failure)
    {
        ServiceResult r;
        r.command = in.command;
        r.file = in.operands.front();
        r.failure = failure;
        r.cause = describe(failure);
        return done(r, "");
    }

private:
    bool json;
    bool quiet;
    std::unique_ptr<ProgressBars> bars;
};

// The panel a command works on: the one asked for, or the only one; false
// when there is none to work on, `status` then the exit status, the
// failure reported.
bool choosePanel(const Invocation &in, Report &report, PanelPlace &chosen, int &status)
{
    const std::vector<PanelPlace> panels = listPanels();
    std::vector<PanelPlace> matching;
    const bool byDevice = in.given[kDeviceOption];
    for (const PanelPlace &p : panels)
        if ((in.port.empty() || p.port == in.port) && (!byDevice || (p.bus == in.bus && p.device == in.device)))
            matching.push_back(p);
    const bool asked = !in.port.empty() || byDevice;
    Failure failure;
    if (matching.empty() && !asked) {
        failure.kind = FailureKind::NoPanel;
        status = report.failed(in, failure);
        return false;
    }
    if (matching.size() != 1) {
        // Never a guess: the wrong panel's firmware would be erased.
        const std::string where =
            in.port.empty() ? "device " + std::to_string(in.bus) + ":" + std::to_string(in.device) : "port " + in.port;
        std::fprintf(stderr, "%s: %s\n", kProgram,
                     matching.empty() ? ("no panel at " + where + "; the panels:").c_str()
                                      : (std::to_string(panels.size()) +
                                         " panels are plugged in: choose one with --port (or --device):").c_str());
        printPanels(panels, {}, stderr);
        status = kUsageError;
        return false;
    }
    chosen = matching.front();
    if (!chosen.mayOpen) {
        status = report.failed(in, fileFailure(FailureKind::ChosenPanelUnusable, chosen.name() + ": " + chosen.why));
        return false;
    }
    return true;
}

// The backup of `panel` (named by its port, or bus and device where the
// system gives no port) when one is asked for.
std::unique_ptr<Backup> backupOf(const Invocation &in, const PanelPlace &panel)
{
    if (in.backup.empty())
        return nullptr;
    const std::string name =
        !panel.port.empty() ? panel.port : "bus" + std::to_string(panel.bus) + "-device" + std::to_string(panel.device);
    return std::make_unique<Backup>(in.backup, name, std::time(nullptr));
}

} // namespace

int runList(Invocation &in)
{
    const std::vector<PanelPlace> panels = listPanels();
    std::vector<std::string> bootloaders;
    if (in.ping)
        for (const PanelPlace &panel : panels)
            bootloaders.push_back(askBootloader(panel));
    if (in.json) {
        Json array = Json::array();
        for (std::size_t i = 0; i < panels.size(); ++i) {
            const PanelPlace &p = panels[i];
            Json panel;
            putText(panel, "port", p.port);
            panel["bus"] = p.bus;
            panel["device"] = p.device;
            panel["speed"] = p.speed;
            panel["access"] = p.mayOpen;
            putText(panel, "why", p.why);
            if (in.ping)
                putText(panel, "bootloader", bootloaders[i]);
            array.push_back(panel);
        }
        std::printf("%s\n", oneLine(array).c_str());
    } else if (!in.quiet) {
        if (panels.empty())
            std::printf("no panel (USB 15a2:0040) on this host\n");
        else
            printPanels(panels, bootloaders, stdout);
    }
    return kDone;
}

// flash and load-language: the trusted keys, the file, its signature and
// its driver are read and checked before the panel is touched.
int runWrite(Invocation &in)
{
    Report report(in);
    const std::string &path = in.operands.front();
    TrustedKeys keys;
    FileTrust trust;
    std::string why;
    if (!trustAskedFor(in.requireSignature, in.trustedKeys, keys, trust, why)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return kUsageError;
    }
    Failure failure;
    PanelFile file;
    const bool flash = in.command == "flash";
    if (!(flash ? readFirmwareFile(path, FirmwareUse::ToFlash, trust, file, failure)
                : readLanguageFile(path, trust, file, failure)) ||
        !readDriverOf(file.memory, in.drivers, file.driver, failure) ||
        (!in.backup.empty() && !prepareBackupFolder(in.backup, failure)))
        return report.failed(in, failure);
    if (trust.keys != nullptr && !in.json && !in.quiet)
        std::printf("%s: %s\n", std::filesystem::path(path).filename().string().c_str(), signerLine(file.signer).c_str());
    PanelPlace panel;
    int status = kDone;
    if (!choosePanel(in, report, panel, status))
        return status;
    const std::unique_ptr<Backup> backup = backupOf(in, panel);
    const ServiceResult r = serviceMemory(panel, file, ServiceOptions{in.verify, in.full, backup.get()}, report.progress());
    return report.done(r, serviceLine(r, panel.name(), in.full));
}

// restore: a backup's language, then its firmware, put back as they were
// held, each only where the panel differs from it. A firmware that failed
// the panel's boot check is put back only when --force says so.
int runRestore(Invocation &in)
{
    Report report(in);
    Failure failure;
    SavedBackup saved;
    if (!readBackup(in.operands.front(), saved, failure) ||
        (saved.hasLanguage && !readDriverOf(Memory::SerialFlash, in.drivers, saved.language.driver, failure)) ||
        (saved.hasFirmware && !readDriverOf(Memory::Flash, in.drivers, saved.firmware.driver, failure)) ||
        (!in.backup.empty() && !prepareBackupFolder(in.backup, failure)))
        return report.failed(in, failure);
    if (saved.hasFirmware && !saved.firmwareBootCheckPassed && !in.force)
        return report.failed(in, fileFailure(FailureKind::FailingBackup, saved.firmware.path));
    PanelPlace panel;
    int status = kDone;
    if (!choosePanel(in, report, panel, status))
        return status;
    const std::unique_ptr<Backup> backup = backupOf(in, panel);
    const ServiceOptions options{in.verify, in.full, backup.get()};
    std::vector<ServiceResult> results;
    std::vector<std::string> lines;
    for (const PanelFile *file : {saved.hasLanguage ? &saved.language : nullptr, saved.hasFirmware ? &saved.firmware : nullptr}) {
        if (file == nullptr || (!results.empty() && !endedWell(results.back().end)))
            continue;
        results.push_back(serviceMemory(panel, *file, options, report.progress()));
        lines.push_back(serviceLine(results.back(), panel.name(), in.full));
        results.back().command = "restore";
    }
    return report.done(results, lines, true);
}

// verify-* and save-*: panel_readback's work, on the chosen panel.
int runReadBack(Invocation &in)
{
    Report report(in);
    PanelPlace panel;
    int status = kDone;
    if (!choosePanel(in, report, panel, status))
        return status;
    ReadbackCommand command = ReadbackCommand::VerifyFirmware;
    readbackCommandNamed(in.command, command);
    ServiceResult r = runReadback(command, in.operands.front(), in.drivers, PanelChoice{panel.bus, panel.device},
                                  report.progress());
    r.port = panel.port;
    return report.done(r, readbackLine(r));
}
