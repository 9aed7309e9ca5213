// The panel's memory map as the tools rely on it: the ranges the S-record
// profiles mirror, where the bootloader ends and the firmware begins, where
// the language goes, and the firmware checksum the boot code verifies.
// Named once here so that the library, the emulated panel and the tests
// cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace panel {

// Every upload, write and read moves pages of this size.
constexpr uint32_t kPageSize = 256;

// One fixed range of the address space that an S19Image mirrors.
struct Range {
    uint32_t first;
    uint32_t last;  // inclusive
    constexpr uint32_t size() const { return last - first + 1; }
    constexpr bool holds(uint32_t address) const { return address >= first && address <= last; }
};

// The RAM window a RAM driver is loaded into: 8 KiB, pages 0 to 31 of
// bootloader command 1.
constexpr Range kRamDriverRange{0x20000000, 0x20001FFF};
constexpr uint32_t kRamDriverPages = kRamDriverRange.size() / kPageSize;

// Main flash: 1024 pages of 256 bytes in 128 sectors of 2 KiB. The
// bootloader lives below 0x4000 (sectors 0-7, pages 0-63) and is never
// erased or written; the firmware owns the rest.
constexpr uint32_t kSectorSize = 2048;
constexpr uint32_t kFlashPages = 1024;
constexpr uint32_t kFlashSize = kFlashPages * kPageSize;
constexpr uint32_t kFlashSectors = kFlashSize / kSectorSize;
constexpr Range kFirmwareRange{0x4000, 0x3FFFF};
constexpr uint32_t kFirstFirmwareSector = kFirmwareRange.first / kSectorSize;  // 8
constexpr uint32_t kLastFirmwareSector = kFirmwareRange.last / kSectorSize;    // 127
constexpr uint32_t kFirstFirmwarePage = kFirmwareRange.first / kPageSize;      // 64

// The boot code sums the firmware as big-endian 32-bit words, leaving out
// the 512 bytes at 0x4200-0x43FF, and compares the sum with the word
// stored at 0x4200.
constexpr uint32_t kChecksumAddress = 0x4200;
constexpr Range kChecksumBlock{0x4200, 0x43FF};
// The last byte of the checksum word: a firmware must reach at least this
// far for the word to be flashed.
constexpr uint32_t kChecksumWordLast = kChecksumAddress + 3;

// The 16-bit parts' profiles, read by the library but used by neither
// program.
constexpr Range kS1RamRange{0x70, 0x76F};
constexpr Range kS1FlashRange{0x2800, 0xFFFF};

// Serial flash: the language's 256 data pages from page 32, its header in
// page 1, marked as loaded by byte 4 set to 1.
constexpr uint32_t kSerialFlashPages = 512;
constexpr uint16_t kFirstLanguagePage = 32;
constexpr uint16_t kLanguageDataPages = 256;
constexpr uint16_t kLanguageHeaderPage = 1;
constexpr std::size_t kLanguageHeaderMarkByte = 4;

inline uint32_t bigEndianWord(const uint8_t *at)
{
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | uint32_t{at[3]};
}

// The boot code's sum over the firmware range; `firmware` holds the bytes
// of kFirmwareRange, first to last.
inline uint32_t firmwareChecksum(const uint8_t *firmware)
{
    constexpr uint32_t skipFrom = kChecksumBlock.first - kFirmwareRange.first;
    constexpr uint32_t skipTo = kChecksumBlock.last + 1 - kFirmwareRange.first;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < skipFrom; i += 4)
        sum += bigEndianWord(firmware + i);
    for (uint32_t i = skipTo; i < kFirmwareRange.size(); i += 4)
        sum += bigEndianWord(firmware + i);
    return sum;
}

} // namespace panel
