// The panel's two memories as the services see them, each laid out as
// its file has it: the flash's firmware range (image page j is flash page
// 64 + j, 960 pages, erased 8 pages to a sector), and the serial flash's
// language (page k is data page k at serial flash page 32 + k, then the
// header, k = 256, at page 1; 257 pages, written without erasing).
// And what a service has to change: what a memory holds, as read, against
// what a full write (panel_flasher's, lang_loader's) would leave there.
// Only what differs is erased and written; then all of it is compared
// again, whatever the plan chose.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

enum class Memory : uint8_t { Flash, SerialFlash };

struct MemoryShape {
    const char *name;         // "flash", "serial flash"
    uint32_t pages;           // as its file has them
    uint32_t pagesPerSector;  // erased together before any is written; 0: no erasing
    uint32_t firstSector;     // the sector of page 0
};

const MemoryShape &shapeOf(Memory memory);

// The panel's page of page `k` as the file has it.
uint16_t panelPageOf(Memory memory, uint32_t k);

// Pages 0 to count - 1, in order.
std::vector<uint32_t> firstPages(uint32_t count);

struct Plan {
    // Sectors to erase, in order (the flash's only).
    std::vector<uint32_t> sectors;
    // Pages to write once their sectors are erased, in order, the
    // language's header last; then to read back.
    std::vector<uint32_t> pages;
    // Pages left as they were.
    uint32_t pagesSkipped = 0;
};

// panel_flasher's or lang_loader's own: every sector erased, the first
// `pagesToWrite` pages written.
Plan fullPlan(Memory memory, uint32_t pagesToWrite);

// Only what differs from `expected` in `held` (both the whole memory):
// each sector with a page that differs is erased, and its pages written
// but for those that are erased bytes only; a memory written without
// erasing gets the pages that differ.
Plan planChanges(Memory memory, const Bytes &expected, const Bytes &held);

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

// `pages` of what the memory holds, `held`, against what they should hold,
// `expected`, named by the panel's pages.
Comparison compareHeld(Memory memory, const std::vector<uint32_t> &pages, const Bytes &expected, const Bytes &held);

// What the memory holds after `plan` ran on `held`: each sector erased as
// erased bytes, each page written as `expected` has it.
void applyPlan(Memory memory, const Plan &plan, const Bytes &expected, Bytes &held);

// Whether the firmware range as held (from 0x4000) passes the check the
// bootloader makes before it starts it: the word at 0x4200 against the
// sum of the rest.
bool bootCheckPasses(const Bytes &firmwareRange);
