// Writes S-record text for test inputs and demo files: our own generator of
// RAM drivers and firmware images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devlink/s19_writer.h"

namespace srec {

// One record: "S1" (2 address bytes), "S2" (3) or "S3" (4), with its count
// and checksum, without a line end.
inline std::string record(char type, uint32_t address, const uint8_t *data, std::size_t n)
{
    return s19Record(type, address, data, n);
}
inline std::string record(char type, uint32_t address, const std::vector<uint8_t> &data)
{
    return s19Record(type, address, data.data(), data.size());
}

// A whole file: an S0 header, `bytes` from `base` in records of at most
// `perRecord` data bytes, and the matching termination record (S7/S9).
std::string file(char type, uint32_t base, const std::vector<uint8_t> &bytes,
                 std::size_t perRecord = 32, const std::string &lineEnd = "\n");

// Deterministic pseudo-random bytes, so that every page of a test image is
// different from every other.
std::vector<uint8_t> patternBytes(std::size_t n, uint32_t seed);

bool writeText(const std::string &path, const std::string &text);

} // namespace srec

namespace samples {
// A RAM driver file of `size` bytes from 0x20000000 that starts with `tag`
// and carries its size behind it (see emu::kDriverSizeOffset).
std::string ramDriver(const char *tag, std::size_t size, uint32_t seed);
// A language file: 64 KiB of data and a 256-byte header.
std::vector<uint8_t> languageFile(uint32_t seed);
// A firmware file covering [first, last] of the firmware range.
std::string firmware(uint32_t first, uint32_t last, uint32_t seed, std::size_t perRecord = 32);
} // namespace samples
