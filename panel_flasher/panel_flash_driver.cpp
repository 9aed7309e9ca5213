#include "panel_flasher/panel_flash_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"
#include "devlink/ram_driver.h"

namespace {
constexpr uint8_t kInit = 0x00;
constexpr uint8_t kErase = 0x01;
constexpr uint8_t kWritePage = 0x02;
constexpr uint8_t kReadPage = 0x03;
constexpr uint8_t kEraseMode = 0x01;
} // namespace

bool PanelFlashDriver::loadDriver()
{
    return loadRamDriver(*link, kDriverFile, failed);
}

bool PanelFlashDriver::uploadDriver(const std::unique_ptr<S19Image> &driver, const Progress &progress)
{
    return uploadImage(driver, *link, failed, progress);
}

// A file without one S3 data byte in the firmware range is the wrong file
// (S1 records, say): flashing it would erase the panel's firmware and
// report success with nothing written.
bool PanelFlashDriver::loadFirmware(const char *path)
{
    ImageHolder image;
    const bool read = loadImageFile(image, path, S19Image::kFinaliseWithChecksum, failed);
    if (image)  // a file that could not be opened keeps the earlier image
        firmware = std::move(image);
    if (!read)
        return false;
    if (firmware->getLoaded() == 0) {
        failed = noDataIn(path, panel::kFirmwareRange.first, panel::kFirmwareRange.last);
        return false;
    }
    return true;
}

// The one-byte replies carry nothing the sequence relies on: a request
// succeeds when its reply frame arrives. A failure is the link's, named
// after the request.
bool PanelFlashDriver::request(uint16_t n, uint16_t replyCount, FailedStep step, int32_t number)
{
    return callRamDriver(*link, command, n, command, replyCount, step, number, failed);
}

void PanelFlashDriver::pageRequest(uint8_t subCommand, uint16_t page)
{
    command[0] = subCommand;
    bootlink::putPageNumber(command + 1, page);
}

bool PanelFlashDriver::init()
{
    command[0] = kInit;
    return request(1, 1, FailedStep::FlashInit, 0);
}

bool PanelFlashDriver::eraseSector(int32_t sector)
{
    command[0] = kErase;
    command[1] = static_cast<uint8_t>(sector & 0xFF);
    command[2] = kEraseMode;
    return request(3, 1, FailedStep::FlashErase, sector);
}

bool PanelFlashDriver::writePage(uint16_t page, const uint8_t *data)
{
    pageRequest(kWritePage, page);
    std::memcpy(command + 3, data, bootlink::kPageSize);
    return request(3 + bootlink::kPageSize, 1, FailedStep::FlashWrite, page);
}

bool PanelFlashDriver::readPage(uint16_t page, uint8_t *dst)
{
    pageRequest(kReadPage, page);
    if (!request(3, bootlink::kPageSize, FailedStep::FlashRead, page) ||
        !checkPageReply(*link, FailedStep::FlashRead, page, failed))
        return false;
    std::memcpy(dst, command, bootlink::kPageSize);
    return true;
}

bool PanelFlashDriver::flashFirmware(const Progress &progress)
{
    if (!firmwareReady()) {
        failed = Failure{};
        failed.kind = FailureKind::NoFirmware;
        return false;
    }
    std::vector<uint32_t> sectors, pages(pagesToWrite(*firmware));
    for (uint32_t sector = panel::kFirstFirmwareSector; sector <= panel::kLastFirmwareSector; ++sector)
        sectors.push_back(sector);
    for (uint32_t j = 0; j < pages.size(); ++j)
        pages[j] = j;
    const ImagePages image = [this](uint32_t j, uint8_t *page) { firmware->getPage(j, bootlink::kPageSize, page); };
    return init() && eraseSectors(sectors, progress) && writeImagePages(pages, image, progress);
}

bool PanelFlashDriver::firmwareReady() const
{
    return firmware && firmware->getStatus() == S19Image::kStatusLoaded &&
           firmware->getLoaded() > 0;
}

// The whole sequence erases every firmware sector whatever the image's
// size, so nothing of an earlier, longer firmware survives behind the new
// one.
bool PanelFlashDriver::eraseSectors(const std::vector<uint32_t> &sectors, const Progress &progress)
{
    progress.begin(Phase::Erase, static_cast<uint32_t>(sectors.size()));
    for (std::size_t i = 0; i < sectors.size(); ++i) {
        if (!eraseSector(static_cast<int32_t>(sectors[i])))
            return false;
        progress.advance(Phase::Erase, static_cast<uint32_t>(i + 1));
    }
    return true;
}

// The image's pages, and at least those through the checksum word at
// 0x4200: a firmware ending below it would otherwise leave the word erased
// and the panel refusing to boot.
uint32_t pagesToWrite(const S19Image &firmware)
{
    constexpr uint32_t throughChecksum =
        (panel::kChecksumWordLast - panel::kFirmwareRange.first) / panel::kPageSize + 1;
    return std::max(firmware.pageCount(panel::kPageSize), throughChecksum);
}

bool PanelFlashDriver::writeImagePages(const std::vector<uint32_t> &pages, const ImagePages &source,
                                       const Progress &progress)
{
    uint8_t page[bootlink::kPageSize];
    progress.begin(Phase::Write, static_cast<uint32_t>(pages.size()));
    for (std::size_t i = 0; i < pages.size(); ++i) {
        source(pages[i], page);
        if (!writePage(static_cast<uint16_t>(panel::kFirstFirmwarePage + pages[i]), page))
            return false;
        progress.advance(Phase::Write, static_cast<uint32_t>(i + 1));
    }
    return true;
}
