#include "panel_readback/readback.h"

#include <cstdio>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_readback/memory_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads `count` pages from `first` with `read(page, destination)`, each
// reported as one more of `phase` done after `before`.
template <typename Read>
bool readPages(Read read, uint16_t first, uint32_t count, Bytes &pages, const Progress &progress, Phase phase,
               uint32_t before = 0)
{
    pages.assign(std::size_t{count} * panel::kPageSize, 0);
    for (uint32_t j = 0; j < count; ++j) {
        if (!read(static_cast<uint16_t>(first + j), pages.data() + std::size_t{j} * panel::kPageSize))
            return false;
        progress.advance(phase, before + j + 1);
    }
    return true;
}

// The first difference, by page and offset with both bytes, and how many
// pages differ. `pageOf(j)` names the panel's page of the j-th page.
template <typename PageOf> Comparison compare(const Bytes &expected, const Bytes &panel, PageOf pageOf)
{
    Comparison c;
    c.pages = static_cast<uint32_t>(expected.size() / panel::kPageSize);
    for (uint32_t j = 0; j < c.pages; ++j) {
        for (uint32_t i = 0; i < panel::kPageSize; ++i) {
            const std::size_t at = std::size_t{j} * panel::kPageSize + i;
            if (expected[at] == panel[at])
                continue;
            if (c.differing++ == 0) {
                c.firstPage = pageOf(j);
                c.offset = i;
                c.fileByte = expected[at];
                c.panelByte = panel[at];
            }
            break;
        }
    }
    return c;
}

// The data pages, then the header page: one phase of 257 pages.
bool readLanguage(SerialFlashDriver &client, Bytes &language, const Progress &progress, Phase phase)
{
    auto read = [&client](uint16_t page, uint8_t *dst) { return client.readPage(page, dst); };
    Bytes header;
    progress.begin(phase, panel::kLanguageDataPages + 1u);
    if (!readPages(read, panel::kFirstLanguagePage, panel::kLanguageDataPages, language, progress, phase) ||
        !readPages(read, panel::kLanguageHeaderPage, 1, header, progress, phase, panel::kLanguageDataPages))
        return false;
    language.insert(language.end(), header.begin(), header.end());
    return true;
}

bool readFirmware(PanelFlashDriver &client, uint32_t pages, Bytes &held, const Progress &progress, Phase phase)
{
    auto read = [&client](uint16_t page, uint8_t *dst) { return client.readPage(page, dst); };
    progress.begin(phase, pages);
    return readPages(read, panel::kFirstFirmwarePage, pages, held, progress, phase);
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
                 panel::kLanguageDataPages + 1);
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
    if (!client.init() ||
        !readFirmware(client, panel::kFlashPages - panel::kFirstFirmwarePage, held, progress, Phase::Read))
        return failed(client.failure());
    if (!writeWhole(path, firmwareRecords(held), failure))
        return failed(failure);
    return saved("saved the panel's firmware to " + path, panel::kFlashPages - panel::kFirstFirmwarePage);
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

bool compareLanguage(SerialFlashDriver &client, const Bytes &file, Comparison &comparison, const Progress &progress,
                     Phase phase)
{
    Bytes held;
    if (!readLanguage(client, held, progress, phase))
        return false;
    Bytes expected = file;
    expected[std::size_t{panel::kLanguageDataPages} * panel::kPageSize + panel::kLanguageHeaderMarkByte] = 1;
    comparison = compare(expected, held, [](uint32_t j) {
        return j < panel::kLanguageDataPages ? panel::kFirstLanguagePage + j : uint32_t{panel::kLanguageHeaderPage};
    });
    return true;
}

bool compareFirmware(PanelFlashDriver &client, Comparison &comparison, const Progress &progress, Phase phase)
{
    const uint32_t pages = client.pagesToWrite();
    Bytes held;
    if (!readFirmware(client, pages, held, progress, phase))
        return false;
    Bytes expected(held.size());
    for (uint32_t j = 0; j < pages; ++j)
        client.firmwarePage(j, expected.data() + std::size_t{j} * panel::kPageSize);
    comparison = compare(expected, held, [](uint32_t j) { return panel::kFirstFirmwarePage + j; });
    return true;
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
