// Fuzz target for the S-record reader. The first input byte picks the
// profile (finalise 0, 1 or 2; S3 or S1 records), the rest is the file.
// After each parse it checks what the rest of the system relies on, and
// aborts on any breach.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "devlink/s19_image.h"

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

uint32_t bigEndianWord(const std::vector<uint8_t> &b, std::size_t at)
{
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// Every page pageCount allows comes from inside the range, into a buffer
// of exactly one page (so the address sanitizer sees any overrun), and
// nothing comes from past it.
void checkPages(const S19Image &image, uint32_t pageSize)
{
    const uint32_t rangeSize = image.getEnd() - image.getStart() + 1;
    std::vector<uint8_t> page(pageSize);
    const uint32_t count = image.pageCount(pageSize);
    require(uint64_t{count} * pageSize < uint64_t{rangeSize} + pageSize, "pageCount beyond the range");
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t got = image.getPage(i, pageSize, page.data());
        require(got > 0 && got <= pageSize, "getPage count out of bounds");
        require(uint64_t{i} * pageSize + got <= rangeSize, "getPage past the range");
    }
    require(image.getPage((rangeSize + pageSize - 1) / pageSize, pageSize, page.data()) == 0,
            "getPage past the range returned bytes");
}

// The checksum the reader inserted, recomputed from the image it hands out.
void checkChecksum(const S19Image &image, bool s1Records)
{
    const uint32_t rangeSize = image.getEnd() - image.getStart() + 1;
    std::vector<uint8_t> all(rangeSize);
    require(image.getPage(0, rangeSize, all.data()) == rangeSize, "whole image not handed out");
    if (s1Records) {
        uint16_t sum = 0;
        for (uint32_t i = 0; i <= 0xCFFD; ++i)
            sum = static_cast<uint16_t>(sum + all[i]);
        require(image.getChecksum() == sum, "S1 checksum differs from the byte sum");
        require((all[0xCFFE] << 8 | all[0xCFFF]) == sum, "S1 checksum not stored big-endian");
        return;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 0x200; i += 4)
        sum += bigEndianWord(all, i);
    for (uint32_t i = 0x400; i < rangeSize; i += 4)
        sum += bigEndianWord(all, i);
    require(bigEndianWord(all, 0x200) == sum, "firmware checksum word differs from the word sum");
    const uint32_t swapped = (sum >> 24) | (sum >> 8 & 0xFF00) | (sum << 8 & 0xFF0000) | (sum << 24);
    require(image.getChecksum() == swapped, "getChecksum differs from the stored word");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int finalise = data[0] % 3;
    const bool s1Records = data[0] / 3 % 2 == 1;
    std::FILE *file = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
    if (file == nullptr)
        return 0;
    S19Image image(file, finalise, s1Records ? 1 : 0);
    image.parse();
    std::fclose(file);

    const int status = image.getStatus();
    require(status == S19Image::kStatusBadRecord || status == S19Image::kStatusLoaded, "status");
    if (image.getLoaded() > 0) {
        // The 16-bit flash profile's finalisation lowers `highest` by the
        // 2 KiB it moves its vectors down.
        const bool lowered = status == S19Image::kStatusLoaded && finalise == 1 && s1Records;
        const uint32_t highest = image.getHighest() + (lowered ? 0x800 : 0);
        require(image.getLowest() >= image.getStart() && image.getLowest() <= image.getEnd(), "lowest");
        require(highest >= image.getStart() && highest <= image.getEnd(), "highest");
        require(image.getLowest() <= highest, "lowest above highest");
    }
    for (uint32_t pageSize : {1u, 256u, 4099u, 0x10000u})
        if (pageSize > 1 || image.getEnd() - image.getStart() < 0x1000)
            checkPages(image, pageSize);
    if (status == S19Image::kStatusLoaded && finalise == 1)
        checkChecksum(image, s1Records);
    return 0;
}
