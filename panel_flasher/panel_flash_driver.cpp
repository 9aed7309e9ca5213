#include "panel_flasher/panel_flash_driver.h"

#include <cstdio>
#include <cstring>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "devlink/ram_driver.h"

namespace {
constexpr const char *kDriverFile = "cf_flash.S19";
constexpr uint8_t kInit = 0x00;
constexpr uint8_t kErase = 0x01;
constexpr uint8_t kWritePage = 0x02;
constexpr uint8_t kReadPage = 0x03;
constexpr uint8_t kEraseMode = 0x01;

// The firmware range 0x4000-0x3FFFF: 2 KiB sectors 8 to 127, 256-byte
// pages from 64. What lies below 0x4000 is the bootloader's.
constexpr int32_t kFirstSector = 8;
constexpr int32_t kLastSector = 127;
constexpr uint16_t kFirstPage = 64;

constexpr const char *kMsgInitFailed = "Error: al iniciar el flash driver";
constexpr const char *kMsgEraseFailed = "ERROR: al borrar el flash";
constexpr const char *kMsgWriteFailed = "ERROR: al escribir el flash";
} // namespace

bool PanelFlashDriver::loadDriver()
{
    return loadRamDriver(*link, kDriverFile, fileCause);
}

std::string PanelFlashDriver::failureCause() const
{
    return fileCause.empty() ? link->failureCause() : fileCause;
}

// A file without one S3 data byte in the firmware range is the wrong file
// (S1 records, say): flashing it would erase the panel's firmware and
// report success with nothing written.
bool PanelFlashDriver::loadFirmware(const char *path)
{
    ImageHolder image;
    const bool read = loadImageFile(image, path, 1, fileCause);
    if (image)  // a file that could not be opened keeps the earlier image
        firmware = std::move(image);
    if (!read)
        return false;
    if (firmware->getLoaded() == 0) {
        fileCause = std::string("\"") + path + "\" holds no S3 data in 0x4000-0x3FFFF";
        return false;
    }
    return true;
}

// The one-byte replies carry nothing the sequence relies on: a request
// succeeds when its reply frame arrives.
bool PanelFlashDriver::request(uint16_t n, uint16_t replyCount)
{
    return link->driverCall(command, n, command, replyCount);
}

void PanelFlashDriver::pageRequest(uint8_t subCommand, uint16_t page)
{
    command[0] = subCommand;
    bootlink::putPageNumber(command + 1, page);
}

bool PanelFlashDriver::init()
{
    command[0] = kInit;
    return request(1, 1);
}

bool PanelFlashDriver::eraseSector(int32_t sector)
{
    command[0] = kErase;
    command[1] = static_cast<uint8_t>(sector & 0xFF);
    command[2] = kEraseMode;
    return request(3, 1);
}

bool PanelFlashDriver::writePage(uint16_t page, const uint8_t *data)
{
    pageRequest(kWritePage, page);
    std::memcpy(command + 3, data, bootlink::kPageSize);
    return request(3 + bootlink::kPageSize, 1);
}

bool PanelFlashDriver::readPage(uint16_t page, uint8_t *dst)
{
    pageRequest(kReadPage, page);
    if (!request(3, bootlink::kPageSize))
        return false;
    std::memcpy(dst, command, bootlink::kPageSize);
    return true;
}

bool PanelFlashDriver::flashFirmware()
{
    if (!firmwareReady())
        return false;
    if (!init()) {
        printLine(kMsgInitFailed);
        return false;
    }
    return eraseFirmwareSectors() && writeFirmwarePages();
}

bool PanelFlashDriver::firmwareReady() const
{
    return firmware && firmware->getStatus() == S19Image::kStatusLoaded &&
           firmware->getLoaded() > 0;
}

// Every firmware sector is erased whatever the image's size, so nothing of
// an earlier, longer firmware survives behind the new one.
bool PanelFlashDriver::eraseFirmwareSectors()
{
    for (int32_t sector = kFirstSector; sector <= kLastSector; ++sector) {
        if (!eraseSector(sector)) {
            printLine(kMsgEraseFailed);
            return false;
        }
    }
    return true;
}

bool PanelFlashDriver::writeFirmwarePages()
{
    uint8_t page[bootlink::kPageSize];
    for (uint16_t j = 0; j < firmware->pageCount(bootlink::kPageSize); ++j) {
        firmware->getPage(j, bootlink::kPageSize, page);
        if (!writePage(static_cast<uint16_t>(kFirstPage + j), page)) {
            std::fputc('\n', stdout);  // leave the spinner line first
            printLine(kMsgWriteFailed);
            return false;
        }
        printSpinnerStep(j, "  \r");
    }
    return true;
}
