#include "panel_service/readback.h"

#include <cstdio>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_service/memory_files.h"
#include "panel_service/plan.h"

namespace {

constexpr uint32_t kFirmwarePages = panel::kFirmwareRange.size() / panel::kPageSize;
constexpr uint32_t kLanguagePages = panel::kLanguageDataPages + 1u;

// The serial flash page of language page k: data page k from page 32, the
// header in page 1.
uint32_t languagePageOf(uint32_t k)
{
    return k < panel::kLanguageDataPages ? panel::kFirstLanguagePage + k : uint32_t{panel::kLanguageHeaderPage};
}

uint32_t flashPageOf(uint32_t j) { return panel::kFirstFirmwarePage + j; }

// Reads `pages` (indices into the memory as a file holds it) with
// `read(panel page, destination)`, `pageOf` naming the panel's page of
// each, into `into` at their own places; one phase, one step a page.
template <typename Read, typename PageOf>
bool readPages(Read read, PageOf pageOf, const std::vector<uint32_t> &pages, Bytes &into, const Progress &progress,
               Phase phase)
{
    progress.begin(phase, static_cast<uint32_t>(pages.size()));
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (!read(static_cast<uint16_t>(pageOf(pages[i])), into.data() + std::size_t{pages[i]} * panel::kPageSize))
            return false;
        progress.advance(phase, static_cast<uint32_t>(i + 1));
    }
    return true;
}

// The first difference among `pages`, by the panel's page and offset with
// both bytes, and how many of them differ.
template <typename PageOf>
Comparison compare(const std::vector<uint32_t> &pages, const Bytes &expected, const Bytes &held, PageOf pageOf)
{
    Comparison c;
    c.pages = static_cast<uint32_t>(pages.size());
    for (uint32_t page : pages) {
        for (uint32_t i = 0; i < panel::kPageSize; ++i) {
            const std::size_t at = std::size_t{page} * panel::kPageSize + i;
            if (expected[at] == held[at])
                continue;
            if (c.differing++ == 0) {
                c.firstPage = pageOf(page);
                c.offset = i;
                c.fileByte = expected[at];
                c.panelByte = held[at];
            }
            break;
        }
    }
    return c;
}

// A RAM driver's page read, for readPages.
template <typename Client>
auto readerOf(Client &client)
{
    return [&client](uint16_t page, uint8_t *dst) { return client.readPage(page, dst); };
}

// Reads `pages` back and compares them with what they should hold.
template <typename Client, typename PageOf>
bool readAndCompare(Client &client, PageOf pageOf, const std::vector<uint32_t> &pages, const Bytes &expected,
                    Comparison &comparison, const Progress &progress, Phase phase)
{
    Bytes held(expected.size(), 0);
    if (!readPages(readerOf(client), pageOf, pages, held, progress, phase))
        return false;
    comparison = compare(pages, expected, held, pageOf);
    return true;
}

std::string matchLine(const char *memory, const std::string &file, uint32_t pages)
{
    return std::string("match: the panel's ") + memory + " holds " + file + " (" + std::to_string(pages) + " pages)";
}

ReadbackOutcome failed(const Failure &failure)
{
    ReadbackOutcome outcome;
    outcome.failure = failure;
    return outcome;
}

ReadbackOutcome compared(const Comparison &comparison, const char *memory, const std::string &file)
{
    ReadbackOutcome outcome;
    outcome.comparison = comparison;
    outcome.pages = comparison.pages;
    outcome.status = comparison.matches() ? 0 : 1;
    outcome.line = comparison.matches() ? matchLine(memory, file, comparison.pages)
                                        : describeMismatch(comparison, memory);
    return outcome;
}

ReadbackOutcome saved(const std::string &line, uint32_t pages)
{
    ReadbackOutcome outcome;
    outcome.status = 0;
    outcome.line = line;
    outcome.pages = pages;
    return outcome;
}

ReadbackOutcome language(ReadbackCommand command, const std::string &path, const std::string &drivers,
                         const PanelChoice &choice, const Progress &progress)
{
    Bytes file;
    Failure failure;
    const bool verify = command == ReadbackCommand::VerifyLanguage;
    if (verify && !readLanguageFile(path, file, failure))
        return failed(failure);
    BootLink link;
    SerialFlashDriver client(&link);
    if (!startPanel(link, choice, failure))
        return failed(failure);
    if (!client.loadDriverFrom(drivers, progress) || !client.init())
        return failed(client.failure());
    if (verify) {
        Comparison comparison;
        if (!compareLanguage(client, file, comparison, progress, Phase::Read))
            return failed(client.failure());
        return compared(comparison, "serial flash", path);
    }
    Bytes held;
    if (!readLanguage(client, held, progress, Phase::Read))
        return failed(client.failure());
    if (!writeWhole(path, std::string(held.begin(), held.end()), failure))
        return failed(failure);
    return saved("saved the panel's language (" + std::to_string(held.size()) + " bytes) to " + path,
                 kLanguagePages);
}

ReadbackOutcome firmware(ReadbackCommand command, const std::string &path, const std::string &drivers,
                         const PanelChoice &choice, const Progress &progress)
{
    BootLink link;
    PanelFlashDriver client(&link);
    Failure failure;
    if (!startPanel(link, choice, failure))
        return failed(failure);
    if (!client.loadDriverFrom(drivers, progress))
        return failed(client.failure());
    if (command == ReadbackCommand::VerifyFirmware) {
        // The file is read as panel_flasher reads it, finalised with its
        // checksum word, after the driver is in place.
        Comparison comparison;
        if (!client.loadFirmware(path.c_str()) || !client.init() ||
            !compareFirmware(client, comparison, progress, Phase::Read))
            return failed(client.failure());
        return compared(comparison, "flash", path);
    }
    Bytes held;
    if (!client.init() || !readFirmwareRange(client, held, progress, Phase::Read))
        return failed(client.failure());
    if (!writeWhole(path, firmwareRecords(held, savedFirmwareHeader("panel_readback", bootCheckPasses(held))),
                    failure))
        return failed(failure);
    return saved("saved the panel's firmware to " + path, kFirmwarePages);
}

} // namespace

std::string describeMismatch(const Comparison &c, const char *memory)
{
    char line[200];
    std::snprintf(line, sizeof line,
                  "mismatch: %s page %u differs first, at offset 0x%02X: the file has 0x%02X, the panel 0x%02X; "
                  "%u of %u pages differ",
                  memory, c.firstPage, c.offset, c.fileByte, c.panelByte, c.differing, c.pages);
    return line;
}

bool startPanel(BootLink &link, const PanelChoice &choice, Failure &failure)
{
    const bool opened = choice.bus == 0 ? link.open() : link.openAt(choice.bus, choice.device);
    if (opened && link.ping())
        return true;
    failure = link.failure();
    return false;
}

bool readLanguage(SerialFlashDriver &client, Bytes &held, const Progress &progress, Phase phase)
{
    held.assign(std::size_t{kLanguagePages} * panel::kPageSize, 0);
    return readPages(readerOf(client), languagePageOf, firstPages(kLanguagePages), held, progress, phase);
}

bool readFirmwareRange(PanelFlashDriver &client, Bytes &held, const Progress &progress, Phase phase)
{
    held.assign(panel::kFirmwareRange.size(), 0);
    return readPages(readerOf(client), flashPageOf, firstPages(kFirmwarePages), held, progress, phase);
}

bool readLanguagePages(SerialFlashDriver &client, const std::vector<uint32_t> &pages, Bytes &into,
                       const Progress &progress, Phase phase)
{
    return readPages(readerOf(client), languagePageOf, pages, into, progress, phase);
}

bool readFirmwarePages(PanelFlashDriver &client, const std::vector<uint32_t> &pages, Bytes &into,
                       const Progress &progress, Phase phase)
{
    return readPages(readerOf(client), flashPageOf, pages, into, progress, phase);
}

Comparison compareHeldLanguage(const std::vector<uint32_t> &pages, const Bytes &expected, const Bytes &held)
{
    return compare(pages, expected, held, languagePageOf);
}

Comparison compareHeldFirmware(const std::vector<uint32_t> &pages, const Bytes &expected, const Bytes &held)
{
    return compare(pages, expected, held, flashPageOf);
}

bool compareLanguage(SerialFlashDriver &client, const Bytes &file, Comparison &comparison, const Progress &progress,
                     Phase phase)
{
    return readAndCompare(client, languagePageOf, firstPages(kLanguagePages), expectedLanguage(file), comparison,
                          progress, phase);
}

bool compareFirmware(PanelFlashDriver &client, Comparison &comparison, const Progress &progress, Phase phase)
{
    return readAndCompare(client, flashPageOf, firstPages(client.pagesToWrite()), expectedFirmware(client),
                          comparison, progress, phase);
}

bool bootCheckPasses(const Bytes &firmwareRange)
{
    return panel::firmwareChecksum(firmwareRange.data()) ==
           panel::bigEndianWord(firmwareRange.data() + (panel::kChecksumAddress - panel::kFirmwareRange.first));
}

ReadbackCommand readbackCommandNamed(const std::string &name)
{
    if (name == "verify-language")
        return ReadbackCommand::VerifyLanguage;
    if (name == "verify-firmware")
        return ReadbackCommand::VerifyFirmware;
    return name == "save-language" ? ReadbackCommand::SaveLanguage : ReadbackCommand::SaveFirmware;
}

ReadbackOutcome runReadback(ReadbackCommand command, const std::string &file, const std::string &drivers,
                            const PanelChoice &choice, const Progress &progress)
{
    if (command == ReadbackCommand::VerifyLanguage || command == ReadbackCommand::SaveLanguage)
        return language(command, file, drivers, choice, progress);
    return firmware(command, file, drivers, choice, progress);
}
