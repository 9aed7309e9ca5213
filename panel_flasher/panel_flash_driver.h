// The firmware flasher's view of the panel flash RAM driver, and the
// flashing sequence it runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devlink/failure.h"
#include "devlink/progress.h"
#include "devlink/s19_image.h"

class BootLink;

// Where image pages come from: page j (flash page 64 + j) into `page`.
using ImagePages = std::function<void(uint32_t j, uint8_t *page)>;

// The pages a firmware image fills from flash page 64, as the flashing
// sequence writes them.
uint32_t pagesToWrite(const S19Image &firmware);

class PanelFlashDriver {
public:
    explicit PanelFlashDriver(BootLink *link) : link(link) {}

    // Uploads "cf_flash.S19" into the panel's RAM.
    bool loadDriver();
    // Uploads a driver read before (readRamDriver).
    bool uploadDriver(const std::unique_ptr<S19Image> &driver, const Progress &progress = {});
    static constexpr const char *kDriverFile = "cf_flash.S19";
    // Reads the firmware file into the firmware profile, checksum inserted.
    // A file that cannot be opened keeps the image loaded before. A file
    // with no data in the firmware range loads but is refused.
    bool loadFirmware(const char *path);

    // Each request below is answered by one frame; its bytes from the
    // second on land in the command buffer.
    // Request 0x00: initialise the flash; one reply byte.
    bool init();
    // Request 0x01, sector, 0x01: erase one 2 KiB sector; one reply byte.
    bool eraseSector(int32_t sector);
    // Request 0x02, page high, page low, 256 bytes: program one page; one
    // reply byte.
    bool writePage(uint16_t page, const uint8_t *data);
    // Request 0x03, page high, page low: 256 reply bytes, copied to dst.
    bool readPage(uint16_t page, uint8_t *dst);

    // Initialise, erase the firmware sectors, write the image's pages.
    // Needs a loaded firmware. On failure, failure() names the request
    // that failed (FlashInit, FlashErase, FlashWrite) or NoFirmware.
    bool flashFirmware(const Progress &progress = {});
    // The two halves of the sequence for some sectors and pages only, in
    // the order given, each reported as its phase: `sectors` (8-127) are
    // erased; image pages `pages` (j: flash page 64 + j) are written, each
    // taken from `source`.
    bool eraseSectors(const std::vector<uint32_t> &sectors, const Progress &progress = {});
    bool writeImagePages(const std::vector<uint32_t> &pages, const ImagePages &source, const Progress &progress = {});

    // Why the last call failed: a driver or firmware file problem, or the
    // link's failure with the request it interrupted. Cleared by every call.
    const Failure &failure() const { return failed; }

private:
    bool request(uint16_t n, uint16_t replyCount, FailedStep step, int32_t number);
    void pageRequest(uint8_t subCommand, uint16_t page);
    bool firmwareReady() const;

    BootLink *link = nullptr;
    Failure failed;
    std::unique_ptr<S19Image> firmware;
    uint8_t command[3 + 256] = {};
};
