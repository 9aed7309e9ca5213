#include "panel_service/service.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_service/memory_files.h"
#include "panel_service/plan.h"
#include "panel_service/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFirmwareSectors = panel::kLastFirmwareSector - panel::kFirstFirmwareSector + 1;
constexpr uint32_t kFirmwarePages = panel::kFirmwareRange.size() / panel::kPageSize;
constexpr uint32_t kLanguagePages = panel::kLanguageDataPages + 1u;

// Passes the progress on, and counts what was erased, written and
// verified.
Progress counting(const Progress &outer, ServiceResult &result)
{
    Progress p = outer;
    p.advanced = [outer, &result](Phase phase, uint32_t done) {
        if (phase == Phase::Erase)
            result.sectorsErased = done;
        if (phase == Phase::Write)
            result.pagesWritten = done;
        if (phase == Phase::Verify)
            result.pagesVerified = done;
        outer.advance(phase, done);
    };
    return p;
}

// What every result names before the service begins.
ServiceResult resultOf(const char *command, const PanelPlace &panel, const std::string &file,
                       const std::string &sha256)
{
    ServiceResult r;
    r.command = command;
    r.port = panel.port;
    r.file = file;
    r.sha256 = sha256;
    return r;
}

std::string inSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// How a service went, once it has ended.
struct Ending {
    bool done = false;         // every step succeeded
    bool verify = true;
    bool full = false;
    bool changed = false;      // anything was erased or written
    Comparison comparison;     // of what the memory holds afterwards with what it should
    const char *memory = "";   // "flash", "serial flash"
    std::string wrote;         // "flashed fw.s19 to the panel at port 1-1"
    std::string differed;      // "2 of 120 sectors differed, 16 pages written"
    std::string untouched;     // "nothing erased or written"
    uint32_t pagesRead = 0;
};

// The result and the line a person reads: failed, not held after all,
// already held, or written (and verified).
void conclude(ServiceResult &r, const Ending &e, const std::string &panelName)
{
    if (!e.done) {
        r.status = 3;
        r.result = "failed";
        return;
    }
    if (!e.comparison.matches()) {
        r.status = 1;
        r.result = "mismatch";
        r.line = describeMismatch(e.comparison, e.memory);
        return;
    }
    r.status = 0;
    const std::string saved = r.backup.empty() ? "" : "; what it held is saved in " + r.backup;
    if (!e.changed) {
        r.result = "already held";
        r.line = "the panel at " + panelName + " already holds " + fileName(r.file) + ": " + e.untouched + " (" +
                 std::to_string(e.pagesRead) + " pages read in " + inSeconds(r.seconds) + ")" + saved;
        return;
    }
    r.result = e.verify ? "verified" : "written";
    const std::string how = e.verify ? " and verified it: " : " (not verified): ";
    if (e.full)
        r.line = e.wrote + how + std::to_string(r.pagesWritten) + " pages in " + inSeconds(r.seconds) + saved;
    else
        r.line = e.wrote + how + e.differed + " in " + inSeconds(r.seconds) + saved;
}

// A step of the service on `client`: on failure, the client's failure
// becomes the result's.
template <typename Client> auto stepOf(ServiceResult &r, const Client &client)
{
    return [&r, &client](bool ok) {
        if (!ok)
            r.failure = client.failure();
        return ok;
    };
}

void noteHeld(ServiceResult &r, const std::vector<uint8_t> &held, int bootCheck)
{
    r.held.read = true;
    r.held.sha256 = sha256Hex(held);
    r.held.bootCheck = bootCheck;
}

// What the memory holds once the service has ended is established apart
// from the plan that chose what to write, so that a plan that missed a
// difference cannot pass for verified: what was read first, each sector
// erased as erased bytes, each page written as it was sent and then, when
// checked, as it was read back. All of it is compared with what the memory
// should hold; without a first read, the pages written only.

void erasedIn(Bytes &memory, const std::vector<uint32_t> &sectors)
{
    constexpr uint32_t kSectorPages = panel::kSectorSize / panel::kPageSize;
    for (uint32_t sector : sectors) {
        const std::size_t from = std::size_t{sector - panel::kFirstFirmwareSector} * panel::kSectorSize;
        std::fill(memory.begin() + from, memory.begin() + from + kSectorPages * panel::kPageSize, 0xFF);
    }
}

void sentTo(Bytes &memory, const std::vector<uint32_t> &pages, const Bytes &sent)
{
    for (uint32_t page : pages) {
        const std::size_t from = std::size_t{page} * panel::kPageSize;
        std::copy(sent.begin() + from, sent.begin() + from + panel::kPageSize, memory.begin() + from);
    }
}

// Every page when the memory was read first, else those written.
std::vector<uint32_t> pagesKnown(bool read, uint32_t all, const std::vector<uint32_t> &written)
{
    return read ? firstPages(all) : written;
}

} // namespace

std::string fileName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

Record ServiceResult::record() const
{
    Record r;
    putText(r, "port", port);
    r["command"] = command;
    putText(r, "file", file);
    r["sha256"] = sha256;
    r["held_sha256"] = held.read ? Record(held.sha256) : Record(nullptr);
    r["held_boot_check"] = held.bootCheck < 0 ? Record(nullptr) : Record(held.bootCheck == 1);
    r["sectors_erased"] = sectorsErased;
    r["pages_written"] = pagesWritten;
    r["pages_skipped"] = pagesSkipped;
    r["pages_verified"] = pagesVerified;
    putTextOrNull(r, "backup", backup);
    r["seconds"] = std::round(seconds * 1000) / 1000;
    r["result"] = result;
    putText(r, "cause", status == 3 ? describe(failure) : status == 1 ? line : std::string());
    return r;
}

std::string ServiceResult::json() const { return oneLine(record()); }

namespace {

bool readFirmware(const std::string &path, const std::string &drivers, FirmwareInput &input, bool asHeld,
                  Failure &failure)
{
    input.path = path;
    if (!(asHeld ? input.client.loadFirmwareAsHeld(path.c_str()) : input.client.loadFirmware(path.c_str()))) {
        failure = input.client.failure();
        return false;
    }
    input.sha256 = sha256OfFile(path);
    return readRamDriver(input.driver, (drivers + "/" + PanelFlashDriver::kDriverFile).c_str(), failure);
}

} // namespace

bool readFirmwareInput(const std::string &path, const std::string &drivers, FirmwareInput &input,
                       Failure &failure)
{
    if (savedFromAFailingPanel(path)) {
        failure = fileFailure(FailureKind::FailingBackup, path);
        return false;
    }
    return readFirmware(path, drivers, input, false, failure);
}

bool readHeldFirmwareInput(const std::string &path, const std::string &drivers, FirmwareInput &input,
                           Failure &failure)
{
    return readFirmware(path, drivers, input, true, failure);
}

bool readLanguageInput(const std::string &path, const std::string &drivers, LanguageInput &input,
                       Failure &failure)
{
    input.path = path;
    if (!readLanguageFile(path, input.bytes, failure))
        return false;
    input.sha256 = sha256Hex(input.bytes);
    return readRamDriver(input.driver, (drivers + "/" + SerialFlashDriver::kDriverFile).c_str(), failure);
}

// Read the whole firmware range first (unless full without a backup);
// save it if asked; erase the sectors that differ and write their pages;
// read back every page of every sector erased.
ServiceResult flashFirmware(const PanelPlace &panel, FirmwareInput &firmware, const ServiceOptions &options,
                            const Progress &progress)
{
    ServiceResult r = resultOf("flash", panel, firmware.path, firmware.sha256);
    const auto began = Clock::now();
    const Progress counted = counting(progress, r);
    BootLink link;
    PanelFlashDriver &client = firmware.client;
    client.setLink(&link);
    const auto step = stepOf(r, client);
    const std::vector<uint8_t> expected = expectedFirmware(client);
    FirmwarePlan plan = fullFirmwarePlan(client);
    std::vector<uint8_t> held;
    Ending e;
    e.verify = options.verify;
    e.full = options.full;
    e.memory = "flash";
    e.done = startPanel(link, PanelChoice{panel.bus, panel.device}, r.failure) &&
             step(client.uploadDriver(firmware.driver, counted) && client.init());
    if (e.done && (!options.full || options.backup != nullptr)) {
        e.done = step(readFirmwareRange(client, held, counted, Phase::Read));
        if (e.done)
            noteHeld(r, held, bootCheckPasses(held) ? 1 : 0);
        e.pagesRead = static_cast<uint32_t>(held.size() / panel::kPageSize);
    }
    if (e.done && options.backup != nullptr) {
        e.done = options.backup->saveFirmware(held, r.held.bootCheck == 1, r.failure);
        r.backup = options.backup->path();
    }
    if (e.done && !options.full)
        plan = firmwarePlan(expected, held);
    r.pagesSkipped = plan.pagesSkipped;
    e.changed = !plan.sectors.empty();
    const bool read = r.held.read;
    Bytes now = read ? held : Bytes(expected.size(), 0xFF);
    if (e.done && e.changed) {
        e.done = step(client.eraseSectors(plan.sectors, counted) && client.writeImagePages(plan.pages, counted));
        erasedIn(now, plan.sectors);
        sentTo(now, plan.pages, expected);
    }
    if (e.done && e.changed && options.verify)
        e.done = step(readFirmwarePages(client, plan.pages, now, counted, Phase::Verify));
    if (e.done)
        e.comparison = compareHeldFirmware(pagesKnown(read, kFirmwarePages, plan.pages), expected, now);
    client.setLink(nullptr);
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    e.wrote = "flashed " + fileName(r.file) + " to the panel at " + panel.name();
    e.differed = std::to_string(plan.sectors.size()) + " of " + std::to_string(kFirmwareSectors) +
                 " sectors differed, " + std::to_string(r.pagesWritten) + " pages written";
    e.untouched = "nothing erased or written";
    conclude(r, e, panel.name());
    return r;
}

// The same for the language: its pages read first, those that differ
// written (the header last), then read back.
ServiceResult loadLanguage(const PanelPlace &panel, const LanguageInput &language, const ServiceOptions &options,
                           const Progress &progress)
{
    ServiceResult r = resultOf("load-language", panel, language.path, language.sha256);
    const auto began = Clock::now();
    const Progress counted = counting(progress, r);
    BootLink link;
    SerialFlashDriver client(&link);
    const auto step = stepOf(r, client);
    // The pages as lang_loader sends them: data page k, then the header.
    const LanguagePages pages = [&language](uint32_t k, uint8_t *page, Failure &) {
        std::memcpy(page, language.bytes.data() + std::size_t{k} * panel::kPageSize, panel::kPageSize);
        return true;
    };
    const std::vector<uint8_t> expected = expectedLanguage(language.bytes);
    LanguagePlan plan = fullLanguagePlan();
    std::vector<uint8_t> held;
    Ending e;
    e.verify = options.verify;
    e.full = options.full;
    e.memory = "serial flash";
    e.done = startPanel(link, PanelChoice{panel.bus, panel.device}, r.failure) &&
             step(client.uploadDriver(language.driver, counted) && client.init());
    if (e.done && (!options.full || options.backup != nullptr)) {
        e.done = step(readLanguage(client, held, counted, Phase::Read));
        if (e.done)
            noteHeld(r, held, -1);
        e.pagesRead = kLanguagePages;
    }
    if (e.done && options.backup != nullptr) {
        e.done = options.backup->saveLanguage(held, r.failure);
        r.backup = options.backup->path();
    }
    if (e.done && !options.full)
        plan = languagePlan(expected, held);
    r.pagesSkipped = plan.pagesSkipped;
    e.changed = !plan.pages.empty();
    const bool read = r.held.read;
    Bytes now = read ? held : Bytes(expected.size(), 0xFF);
    if (e.done && e.changed) {
        e.done = step(client.writeLanguagePages(plan.pages, pages, counted));
        sentTo(now, plan.pages, expected);
    }
    if (e.done && e.changed && options.verify)
        e.done = step(readLanguagePages(client, plan.pages, now, counted, Phase::Verify));
    if (e.done)
        e.comparison = compareHeldLanguage(pagesKnown(read, kLanguagePages, plan.pages), expected, now);
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    e.wrote = "loaded " + fileName(r.file) + " into the panel at " + panel.name();
    e.differed = std::to_string(plan.pages.size()) + " of " + std::to_string(kLanguagePages) +
                 " pages differed and were written";
    e.untouched = "nothing written";
    conclude(r, e, panel.name());
    return r;
}
