#include "lang_loader/serial_flash_driver.h"

#include <cstring>

#include "devlink/boot_link.h"
#include "devlink/ram_driver.h"

namespace {
constexpr const char *kDriverFile = "serial_flash.S19";
constexpr uint8_t kInit = 0x00;
constexpr uint8_t kWritePage = 0x01;
constexpr uint8_t kReadPage = 0x02;
} // namespace

bool SerialFlashDriver::loadDriver()
{
    return loadRamDriver(*link, kDriverFile, fileCause);
}

std::string SerialFlashDriver::failureCause() const
{
    return fileCause.empty() ? link->failureCause() : fileCause;
}

bool SerialFlashDriver::init()
{
    command[0] = kInit;
    return link->driverCall(command, 1, nullptr, 0);
}

bool SerialFlashDriver::writePage(uint16_t page, const uint8_t *data)
{
    pageRequest(kWritePage, page);
    std::memcpy(command + 3, data, bootlink::kPageSize);
    return link->driverCall(command, kRequestSize, nullptr, 0);
}

bool SerialFlashDriver::readPage(uint16_t page, uint8_t *dst)
{
    pageRequest(kReadPage, page);
    if (!link->driverCall(command, 3, command, bootlink::kPageSize))
        return false;
    std::memcpy(dst, command, bootlink::kPageSize);
    return true;
}

// Sub-command and big-endian page number, the head of every page request.
void SerialFlashDriver::pageRequest(uint8_t subCommand, uint16_t page)
{
    command[0] = subCommand;
    bootlink::putPageNumber(command + 1, page);
}
