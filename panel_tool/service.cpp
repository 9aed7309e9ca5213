#include "panel_tool/service.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_readback/memory_files.h"
#include "panel_tool/json.h"
#include "panel_tool/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

// Passes the progress on, and counts the pages written and verified.
Progress counting(const Progress &outer, ServiceResult &result)
{
    Progress p = outer;
    p.advanced = [outer, &result](Phase phase, uint32_t done) {
        if (phase == Phase::Write)
            result.pagesWritten = done;
        if (phase == Phase::Verify)
            result.pagesVerified = done;
        outer.advance(phase, done);
    };
    return p;
}

// The result of a run that ended: failed, or written and maybe verified.
void conclude(ServiceResult &r, bool done, bool verify, const Comparison &comparison, const char *memory,
              const std::string &what)
{
    if (!done) {
        r.status = 3;
        r.result = "failed";
        return;
    }
    if (verify && !comparison.matches()) {
        r.status = 1;
        r.result = "mismatch";
        r.line = describeMismatch(comparison, memory);
        return;
    }
    r.status = 0;
    r.result = verify ? "verified" : "written";
    char summary[96];
    std::snprintf(summary, sizeof summary, ": %u pages in %.1f s", r.pagesWritten, r.seconds);
    r.line = what + (verify ? " and verified it" : " (not verified)") + summary;
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

} // namespace

std::string fileName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

std::string ServiceResult::json() const
{
    return JsonObject()
        .add("port", port)
        .add("command", command)
        .add("file", file)
        .add("sha256", sha256)
        .add("pages_written", int64_t{pagesWritten})
        .add("pages_verified", int64_t{pagesVerified})
        .add("seconds", seconds)
        .add("result", result)
        .add("cause", status == 3 ? describe(failure) : status == 1 ? line : std::string())
        .text();
}

bool readFirmwareInput(const std::string &path, const std::string &drivers, FirmwareInput &input,
                       Failure &failure)
{
    input.path = path;
    if (!input.client.loadFirmware(path.c_str())) {
        failure = input.client.failure();
        return false;
    }
    input.sha256 = sha256OfFile(path);
    return readRamDriver(input.driver, (drivers + "/" + PanelFlashDriver::kDriverFile).c_str(), failure);
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

ServiceResult flashFirmware(const PanelPlace &panel, FirmwareInput &firmware, bool verify,
                            const Progress &progress)
{
    const PanelChoice choice{panel.bus, panel.device};
    ServiceResult r = resultOf("flash", panel, firmware.path, firmware.sha256);
    const auto began = Clock::now();
    const Progress counted = counting(progress, r);
    BootLink link;
    PanelFlashDriver &client = firmware.client;
    client.setLink(&link);
    Comparison comparison;
    bool done = startPanel(link, choice, r.failure);
    if (done && !(client.uploadDriver(firmware.driver, counted) && client.flashFirmware(counted) &&
                  (!verify || compareFirmware(client, comparison, counted, Phase::Verify)))) {
        r.failure = client.failure();
        done = false;
    }
    client.setLink(nullptr);
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    conclude(r, done, verify, comparison, "flash", "flashed " + fileName(r.file) + " to the panel at " + panel.name());
    return r;
}

ServiceResult loadLanguage(const PanelPlace &panel, const LanguageInput &language, bool verify,
                           const Progress &progress)
{
    const PanelChoice choice{panel.bus, panel.device};
    ServiceResult r = resultOf("load-language", panel, language.path, language.sha256);
    const auto began = Clock::now();
    const Progress counted = counting(progress, r);
    BootLink link;
    SerialFlashDriver client(&link);
    // The pages as lang_loader sends them: data page k, then the header.
    const LanguagePages pages = [&language](uint32_t k, uint8_t *page, Failure &) {
        std::memcpy(page, language.bytes.data() + std::size_t{k} * panel::kPageSize, panel::kPageSize);
        return true;
    };
    Comparison comparison;
    bool done = startPanel(link, choice, r.failure);
    if (done && !(client.uploadDriver(language.driver, counted) && client.init() &&
                  client.writeLanguage(pages, counted) &&
                  (!verify || compareLanguage(client, language.bytes, comparison, counted, Phase::Verify)))) {
        r.failure = client.failure();
        done = false;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    conclude(r, done, verify, comparison, "serial flash",
             "loaded " + fileName(r.file) + " into the panel at " + panel.name());
    return r;
}
