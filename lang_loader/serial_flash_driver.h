// The language loader's view of the serial-flash RAM driver.
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

// Where a language's pages come from: data page `k` (0-255), or the header
// (k = 256), into `page`. False, with `failure`, when it cannot be read.
using LanguagePages = std::function<bool(uint32_t k, uint8_t *page, Failure &failure)>;

class SerialFlashDriver {
public:
    explicit SerialFlashDriver(BootLink *link) : link(link) {}

    // Uploads "serial_flash.S19" into the panel's RAM.
    bool loadDriver();
    // Uploads a driver read before (readRamDriver).
    bool uploadDriver(const std::unique_ptr<S19Image> &driver, const Progress &progress = {});
    static constexpr const char *kDriverFile = "serial_flash.S19";
    // Request 0x00: initialise the serial flash; nothing is answered.
    bool init();
    // Request 0x01, page high, page low, 256 bytes: write one page; nothing
    // is answered, so success means the frame was sent.
    bool writePage(uint16_t page, const uint8_t *data);
    // Request 0x02, page high, page low: answered with the 256 bytes of the
    // page, copied to dst.
    bool readPage(uint16_t page, uint8_t *dst);

    // The language: data page k to serial flash page 32 + k, then the
    // header, marked as loaded (byte 4 set to 1), to page 1. Reports the
    // 257 pages as Phase::Write. On failure, failure() is the page
    // source's, or names the page whose write failed (SerialWrite).
    bool writeLanguage(const LanguagePages &pages, const Progress &progress = {});
    // The same for some of the language's pages only (k as above, in the
    // order given, the header last), reported as that many.
    bool writeLanguagePages(const std::vector<uint32_t> &which, const LanguagePages &pages,
                            const Progress &progress = {});

    // Why the last call failed: a driver file problem, or the link's
    // failure with the request it interrupted. Cleared by every call.
    const Failure &failure() const { return failed; }

private:
    static constexpr uint16_t kRequestSize = 3 + 256;

    void pageRequest(uint8_t subCommand, uint16_t page);
    bool call(uint16_t n, uint8_t *replyDst, uint16_t replyCount, FailedStep step, int32_t number);

    BootLink *link = nullptr;
    Failure failed;
    uint8_t command[kRequestSize] = {};
};
