#include "panel_readback/panel_readback.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "devlink/panel_geometry.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_readback/memory_files.h"

namespace {

constexpr int kMatch = 0;
constexpr int kMismatch = 1;
constexpr int kUsageError = 2;
constexpr int kUnusable = 3;

constexpr const char *kProgram = "panel_readback";

const char kUsage[] =
    "Usage: panel_readback [--drivers DIR] COMMAND FILE\n"
    "Reads the panel's memories back through its USB bootloader; never writes them.\n"
    "\n"
    "  verify-language FILE      compare serial flash pages 32-287 and the header\n"
    "                            page 1 (byte 4 set to 1) with a language file\n"
    "  verify-firmware FILE.s19  compare flash pages from 64 with the firmware as\n"
    "                            panel_flasher writes it, checksum word included\n"
    "  save-language OUT         save the language: 65,792 bytes, data then header\n"
    "  save-firmware OUT.s19     save flash 0x4000-0x3FFFF as S3 records, erased\n"
    "                            pages left out\n"
    "\n"
    "  --drivers DIR             load the RAM driver (serial_flash.S19 or\n"
    "                            cf_flash.S19) from DIR, not the working directory\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 the panel matches or the file was saved, 1 it does not match,\n"
    "2 a usage error, 3 the panel, a driver or a file cannot be used.\n";

struct Request {
    std::string command;
    std::string file;
    std::string drivers = ".";
};

int usageError(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\nTry 'panel_readback --help'.\n", kProgram, what.c_str());
    return kUsageError;
}

// -1 to go on, else the exit status.
int parseArguments(int argc, char **argv, Request &request)
{
    enum { kDrivers = 256, kHelp, kVersion };
    static const option options[] = {
        {"drivers", required_argument, nullptr, kDrivers},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        switch (c) {
        case kDrivers: request.drivers = optarg; break;
        case kHelp: std::fputs(kUsage, stdout); return kMatch;
        case kVersion: std::printf("panel_readback %s\n", PANEL_VERSION); return kMatch;
        default: return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (argc - optind != 2)
        return usageError("give a command and a file");
    request.command = argv[optind];
    request.file = argv[optind + 1];
    for (const char *known : {"verify-language", "verify-firmware", "save-language", "save-firmware"})
        if (request.command == known)
            return -1;
    return usageError("unknown command '" + request.command + "'");
}

int unusable(const Failure &failure)
{
    printCause(kProgram, failure);
    return kUnusable;
}

// "reading page N of M" on a terminal, redrawn in place; nothing when
// standard error goes to a file or a pipe.
class Progress {
public:
    Progress(const char *what, uint32_t total) : what(what), total(total), shown(isatty(STDERR_FILENO) == 1) {}
    ~Progress()
    {
        if (shown)
            std::fputs("\r\033[K", stderr);
    }
    void step(uint32_t done)
    {
        if (shown)
            std::fprintf(stderr, "\rreading %s page %u of %u", what, done + 1, total);
    }

private:
    const char *what;
    uint32_t total;
    bool shown;
};

// Reads `count` pages from `first` with `read(page, destination)`.
template <typename Client>
bool readPages(Client &client, const char *what, uint16_t first, uint32_t count, std::vector<uint8_t> &pages)
{
    pages.assign(std::size_t{count} * panel::kPageSize, 0);
    Progress progress(what, count);
    for (uint32_t j = 0; j < count; ++j) {
        progress.step(j);
        if (!client.readPage(static_cast<uint16_t>(first + j), pages.data() + std::size_t{j} * panel::kPageSize))
            return false;
    }
    return true;
}

// The first difference, by page and offset with both bytes, and how many
// pages differ. `pageOf(j)` names the panel's page of the j-th page.
template <typename PageOf>
int report(const std::vector<uint8_t> &expected, const std::vector<uint8_t> &panel, PageOf pageOf,
           const std::string &what, const std::string &file)
{
    uint32_t differing = 0, firstPage = 0, offset = 0;
    const uint32_t pages = static_cast<uint32_t>(expected.size() / panel::kPageSize);
    for (uint32_t j = 0; j < pages; ++j) {
        for (uint32_t i = 0; i < panel::kPageSize; ++i) {
            const std::size_t at = std::size_t{j} * panel::kPageSize + i;
            if (expected[at] == panel[at])
                continue;
            if (differing++ == 0)
                firstPage = j, offset = i;
            break;
        }
    }
    if (differing == 0) {
        std::printf("match: the panel's %s holds %s (%u pages)\n", what.c_str(), file.c_str(), pages);
        return kMatch;
    }
    const std::size_t at = std::size_t{firstPage} * panel::kPageSize + offset;
    std::printf("mismatch: %s page %u differs first, at offset 0x%02X: the file has 0x%02X, the panel 0x%02X; "
                "%u of %u pages differ\n",
                what.c_str(), pageOf(firstPage), offset, expected[at], panel[at], differing, pages);
    return kMismatch;
}

bool startPanel(BootLink &link, Failure &failure)
{
    if (link.open() && link.ping())
        return true;
    failure = link.failure();
    return false;
}

int language(const Request &request)
{
    std::vector<uint8_t> file;
    Failure failure;
    const bool verify = request.command == "verify-language";
    if (verify && !readLanguageFile(request.file, file, failure))
        return unusable(failure);
    BootLink link;
    SerialFlashDriver client(&link);
    if (!startPanel(link, failure))
        return unusable(failure);
    std::vector<uint8_t> data, header;
    if (!client.loadDriverFrom(request.drivers) || !client.init() ||
        !readPages(client, "serial flash", panel::kFirstLanguagePage, panel::kLanguageDataPages, data) ||
        !readPages(client, "serial flash", panel::kLanguageHeaderPage, 1, header))
        return unusable(client.failure());
    std::vector<uint8_t> panelLanguage = data;
    panelLanguage.insert(panelLanguage.end(), header.begin(), header.end());
    if (!verify) {
        if (!writeWhole(request.file, std::string(panelLanguage.begin(), panelLanguage.end()), failure))
            return unusable(failure);
        std::printf("saved the panel's language (%zu bytes) to %s\n", panelLanguage.size(), request.file.c_str());
        return kMatch;
    }
    // lang_loader marks the header as loaded on its way to the panel.
    file[std::size_t{panel::kLanguageDataPages} * panel::kPageSize + panel::kLanguageHeaderMarkByte] = 1;
    return report(file, panelLanguage,
                  [](uint32_t j) { return j < panel::kLanguageDataPages ? panel::kFirstLanguagePage + j
                                                                         : uint32_t{panel::kLanguageHeaderPage}; },
                  "serial flash", request.file);
}

int firmware(const Request &request)
{
    BootLink link;
    PanelFlashDriver client(&link);
    const bool verify = request.command == "verify-firmware";
    Failure failure;
    if (!startPanel(link, failure))
        return unusable(failure);
    if (!client.loadDriverFrom(request.drivers))
        return unusable(client.failure());
    // The file is read as panel_flasher reads it, finalised with its
    // checksum word, after the driver is in place.
    if (verify && !client.loadFirmware(request.file.c_str()))
        return unusable(client.failure());
    const uint32_t pages =
        verify ? client.pagesToWrite() : panel::kFlashPages - panel::kFirstFirmwarePage;
    std::vector<uint8_t> held;
    if (!client.init() || !readPages(client, "flash", panel::kFirstFirmwarePage, pages, held))
        return unusable(client.failure());
    if (!verify) {
        if (!writeWhole(request.file, firmwareRecords(held), failure))
            return unusable(failure);
        std::printf("saved the panel's firmware to %s\n", request.file.c_str());
        return kMatch;
    }
    std::vector<uint8_t> expected(held.size());
    for (uint32_t j = 0; j < pages; ++j)
        client.firmwarePage(j, expected.data() + std::size_t{j} * panel::kPageSize);
    return report(expected, held, [](uint32_t j) { return panel::kFirstFirmwarePage + j; }, "flash",
                  request.file);
}

} // namespace

int runPanelReadback(int argc, char **argv)
{
    Request request;
    const int early = parseArguments(argc, argv, request);
    if (early >= 0)
        return early;
    if (request.command == "verify-language" || request.command == "save-language")
        return language(request);
    return firmware(request);
}
