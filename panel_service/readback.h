// Reading the panel's memories back through the RAM drivers, to compare
// them with a file or to save them: the work of panel_readback, and of
// panel_tool's verify and save commands and its check after writing.
// Nothing here writes or erases the panel's memories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/failure.h"
#include "devlink/progress.h"

class BootLink;
class PanelFlashDriver;
class SerialFlashDriver;

// Where the panel and a file first differ, and how many pages differ.
struct Comparison {
    uint32_t pages = 0;      // pages compared
    uint32_t differing = 0;  // of them, those that differ
    uint32_t firstPage = 0;  // the panel's page that differs first
    uint32_t offset = 0;     // and the first offset in it
    uint8_t fileByte = 0;
    uint8_t panelByte = 0;

    bool matches() const { return differing == 0; }
};

// "mismatch: flash page 64 differs first, at offset 0x05: the file has
// 0x3B, the panel 0x2B; 2 of 8 pages differ"; `memory` is "flash" or
// "serial flash".
std::string describeMismatch(const Comparison &comparison, const char *memory);

// Which panel: the first the USB library lists (bus 0), or the one at
// bus and device.
struct PanelChoice {
    int bus = 0;
    int device = 0;
};

// Opens the chosen panel and pings its bootloader; false, with `failure`.
bool startPanel(BootLink &link, const PanelChoice &choice, Failure &failure);

// The serial flash's language pages (32-287, then the header page 1)
// against `file`, 65,792 bytes as lang_loader takes them, the header
// compared as lang_loader marks it. Reported as `phase`.
bool compareLanguage(SerialFlashDriver &client, const std::vector<uint8_t> &file, Comparison &comparison,
                     const Progress &progress, Phase phase);
// The flash pages from 64 against the client's loaded firmware, as
// flashFirmware writes it, checksum word included.
bool compareFirmware(PanelFlashDriver &client, Comparison &comparison, const Progress &progress, Phase phase);

// What the panel holds: the language's pages as a language file has them
// (65,792 bytes: data pages 32-287, then the header page 1), and the
// whole firmware range (flash pages 64-1023).
bool readLanguage(SerialFlashDriver &client, std::vector<uint8_t> &held, const Progress &progress, Phase phase);
bool readFirmwareRange(PanelFlashDriver &client, std::vector<uint8_t> &held, const Progress &progress, Phase phase);

// Some pages only, in the order given, each read into `into` (the whole
// language, or the whole firmware range, as a file has it) at its own
// place: language pages k (data page k, 256 the header); image pages j
// (flash page 64 + j).
bool readLanguagePages(SerialFlashDriver &client, const std::vector<uint32_t> &pages, std::vector<uint8_t> &into,
                       const Progress &progress, Phase phase);
bool readFirmwarePages(PanelFlashDriver &client, const std::vector<uint32_t> &pages, std::vector<uint8_t> &into,
                       const Progress &progress, Phase phase);

// `pages` of what the panel holds, `held`, against what they should hold,
// `expected` (both laid out as above), named by the panel's pages.
Comparison compareHeldLanguage(const std::vector<uint32_t> &pages, const std::vector<uint8_t> &expected,
                               const std::vector<uint8_t> &held);
Comparison compareHeldFirmware(const std::vector<uint32_t> &pages, const std::vector<uint8_t> &expected,
                               const std::vector<uint8_t> &held);

// Whether the firmware range as held (from 0x4000) passes the check the
// bootloader makes before it starts it: the word at 0x4200 against the
// sum of the rest.
bool bootCheckPasses(const std::vector<uint8_t> &firmwareRange);

enum class ReadbackCommand { VerifyLanguage, VerifyFirmware, SaveLanguage, SaveFirmware };
// The command a command line names: "verify-language", "verify-firmware",
// "save-language" or "save-firmware" (the caller has checked it is one).
ReadbackCommand readbackCommandNamed(const std::string &name);

struct ReadbackOutcome {
    int status = 3;          // 0 matches or saved, 1 differs, 3 could not be done
    std::string line;        // what to print on standard output on 0 or 1
    Failure failure;         // on 3
    uint32_t pages = 0;      // pages read
    Comparison comparison;   // for the verify commands
};

// One command on the chosen panel, its RAM drivers from `drivers`.
ReadbackOutcome runReadback(ReadbackCommand command, const std::string &file, const std::string &drivers,
                            const PanelChoice &choice, const Progress &progress);
