// What a service has to change on a panel: what the panel holds, as read,
// against what a full write (panel_flasher's, lang_loader's) would leave
// there. Only what differs is erased and written, and checked afterwards.
#pragma once

#include <cstdint>
#include <vector>

class PanelFlashDriver;

using Bytes = std::vector<uint8_t>;

// The firmware range (0x4000-0x3FFFF, flash pages 64-1023) as a full flash
// of the client's loaded firmware leaves it: the pages panel_flasher
// writes, and erased bytes past them.
Bytes expectedFirmware(const PanelFlashDriver &client);

// A language file's 65,792 bytes as the panel holds them once loaded: the
// data pages, then the header with its byte 4 set to 1.
Bytes expectedLanguage(const Bytes &file);

// Pages 0 to count - 1, in order.
std::vector<uint32_t> firstPages(uint32_t count);

struct FirmwarePlan {
    // Sectors (8-127) to erase, in order.
    std::vector<uint32_t> sectors;
    // Image pages (j: flash page 64 + j) to write once they are erased, in
    // order, then to read back.
    std::vector<uint32_t> pages;
    // Pages of the sectors left as they were.
    uint32_t pagesSkipped = 0;
};

// panel_flasher's own: every sector erased, every page of the image
// written.
FirmwarePlan fullFirmwarePlan(const PanelFlashDriver &client);
// Only the sectors whose pages differ from `expected` in `held` (both the
// whole firmware range): each is erased and its pages written, but for
// those that are erased bytes only.
FirmwarePlan firmwarePlan(const Bytes &expected, const Bytes &held);

struct LanguagePlan {
    // Language pages (k: data page k, 256 the header), in order, the
    // header last: to write, then to read back.
    std::vector<uint32_t> pages;
    uint32_t pagesSkipped = 0;
};

// lang_loader's own: every page.
LanguagePlan fullLanguagePlan();
// The pages of `held` that differ from `expected` (65,792 bytes each,
// data then header).
LanguagePlan languagePlan(const Bytes &expected, const Bytes &held);
