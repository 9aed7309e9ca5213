#include "lang_loader/serial_flash_driver.h"

#include <cstring>

#include "devlink/boot_link.h"
#include "devlink/panel_geometry.h"
#include "devlink/ram_driver.h"

namespace {
constexpr uint8_t kInit = 0x00;
constexpr uint8_t kWritePage = 0x01;
constexpr uint8_t kReadPage = 0x02;
} // namespace

bool SerialFlashDriver::loadDriver()
{
    return loadRamDriver(*link, kDriverFile, failed);
}

bool SerialFlashDriver::uploadDriver(const std::unique_ptr<S19Image> &driver, const Progress &progress)
{
    return uploadImage(driver, *link, failed, progress);
}

// One driver call; a failure is the link's, named after the request.
bool SerialFlashDriver::call(uint16_t n, uint8_t *replyDst, uint16_t replyCount, FailedStep step,
                             int32_t number)
{
    return callRamDriver(*link, command, n, replyDst, replyCount, step, number, failed);
}

bool SerialFlashDriver::init()
{
    command[0] = kInit;
    return call(1, nullptr, 0, FailedStep::SerialInit, 0);
}

bool SerialFlashDriver::writePage(uint16_t page, const uint8_t *data)
{
    pageRequest(kWritePage, page);
    std::memcpy(command + 3, data, bootlink::kPageSize);
    return call(kRequestSize, nullptr, 0, FailedStep::SerialWrite, page);
}

bool SerialFlashDriver::readPage(uint16_t page, uint8_t *dst)
{
    pageRequest(kReadPage, page);
    if (!call(3, command, bootlink::kPageSize, FailedStep::SerialRead, page) ||
        !checkPageReply(*link, FailedStep::SerialRead, page, failed))
        return false;
    std::memcpy(dst, command, bootlink::kPageSize);
    return true;
}

// The header goes last: the panel takes the language as valid only once
// its header is marked, so a run cut short never leaves a half-written
// language marked as loaded.
bool SerialFlashDriver::writeLanguage(const LanguagePages &pages, const Progress &progress)
{
    std::vector<uint32_t> all(panel::kLanguageDataPages + 1u);
    for (uint32_t k = 0; k < all.size(); ++k)
        all[k] = k;
    return writeLanguagePages(all, pages, progress);
}

bool SerialFlashDriver::writeLanguagePages(const std::vector<uint32_t> &which, const LanguagePages &pages,
                                           const Progress &progress)
{
    uint8_t page[bootlink::kPageSize] = {};
    progress.begin(Phase::Write, static_cast<uint32_t>(which.size()));
    for (std::size_t i = 0; i < which.size(); ++i) {
        const uint32_t k = which[i];
        const bool header = k == panel::kLanguageDataPages;
        if (!pages(k, page, failed))
            return false;
        if (header)
            page[panel::kLanguageHeaderMarkByte] = 1;
        const uint16_t target =
            header ? panel::kLanguageHeaderPage : static_cast<uint16_t>(panel::kFirstLanguagePage + k);
        if (!writePage(target, page))
            return false;
        progress.advance(Phase::Write, static_cast<uint32_t>(i + 1));
    }
    return true;
}

// Sub-command and big-endian page number, the head of every page request.
void SerialFlashDriver::pageRequest(uint8_t subCommand, uint16_t page)
{
    command[0] = subCommand;
    bootlink::putPageNumber(command + 1, page);
}
