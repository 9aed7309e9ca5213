#include "devlink/s19_image.h"

#include <algorithm>
#include <cstring>

#include "devlink/panel_geometry.h"

namespace {

struct Profile {
    uint32_t bufferSize;
    panel::Range range;
};

constexpr Profile kRamDriverProfile{panel::kRamDriverRange.size(), panel::kRamDriverRange};
constexpr Profile kFirmwareProfile{panel::kFirmwareRange.size(), panel::kFirmwareRange};
// Larger than its range: the bytes past it are never filled or read.
constexpr Profile kS1RamProfile{0x800, panel::kS1RamRange};
constexpr Profile kS1FlashProfile{panel::kS1FlashRange.size(), panel::kS1FlashRange};

Profile selectProfile(int finalise, int s1Records)
{
    if (s1Records != 0)
        return finalise != 0 ? kS1FlashProfile : kS1RamProfile;
    return finalise != 0 ? kFirmwareProfile : kRamDriverProfile;
}

// The longest record either reader accepts: "Sx", a count of 0xFF and the
// 255 bytes it covers. Anything a line holds past that is never looked at,
// so it is skipped instead of stored and memory stays bounded.
constexpr std::size_t kLongestRecord = 4 + 2 * 0xFF;

constexpr uint8_t kBadDigit = 0xFF;

struct HexTable {
    uint8_t value[256];
    constexpr HexTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = kBadDigit;
        for (int d = 0; d < 10; ++d)
            value['0' + d] = static_cast<uint8_t>(d);
        for (int d = 0; d < 6; ++d) {
            value['A' + d] = static_cast<uint8_t>(10 + d);
            value['a' + d] = static_cast<uint8_t>(10 + d);
        }
    }
};
constexpr HexTable kHex;

// Decodes the pair at `pos`; false when either character is not a hex digit.
bool hexPair(const char *line, std::size_t pos, uint8_t &out)
{
    const uint8_t hi = kHex.value[static_cast<uint8_t>(line[pos])];
    const uint8_t lo = kHex.value[static_cast<uint8_t>(line[pos + 1])];
    if ((hi | lo) & 0xF0)  // kBadDigit has high bits set, digits never do
        return false;
    out = static_cast<uint8_t>(hi << 4 | lo);
    return true;
}

// Hands out the file's lines one by one, each cut to kLongestRecord
// characters, without its line end. Reads the stream in large blocks
// because per-character reads dominate the parse of a firmware file.
class LineReader {
public:
    explicit LineReader(std::FILE *file) : file(file) {}

    bool next(const char *&line, std::size_t &length)
    {
        kept = 0;
        bool any = false;
        for (;;) {
            if (pos == filled && !refill())
                break;
            // The "\n" of a "\r\n" pair, when a block ended between them.
            if (afterCr && block[pos] == '\n') {
                afterCr = false;
                ++pos;
                continue;
            }
            afterCr = false;
            any = true;
            const char *from = block + pos;
            const char *stop = std::find_if(from, static_cast<const char *>(block + filled), isLineEnd);
            keep(from, static_cast<std::size_t>(stop - from));
            pos = static_cast<std::size_t>(stop - block);
            if (pos < filled) {
                afterCr = *stop == '\r';
                ++pos;
                break;
            }
        }
        if (!any)
            return false;
        line = lineBuf;
        length = kept;
        return true;
    }

    // A read error ends the lines as the end of the file does; only this
    // tells them apart.
    bool readFailed() const { return std::ferror(file) != 0; }

private:
    bool refill()
    {
        pos = 0;
        filled = std::fread(block, 1, sizeof block, file);
        return filled > 0;
    }

    // "\r", "\n" and "\r\n" all end a line: files from old editors end
    // their lines with a lone carriage return.
    static bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

    void keep(const char *from, std::size_t n)
    {
        const std::size_t copy = std::min(n, kLongestRecord - kept);
        std::memcpy(lineBuf + kept, from, copy);
        kept += copy;
    }

    std::FILE *file;
    char block[1 << 16];
    std::size_t pos = 0;
    std::size_t filled = 0;
    char lineBuf[kLongestRecord];
    std::size_t kept = 0;
    bool afterCr = false;
};

} // namespace

S19Image::S19Image(std::FILE *file, int finalise, int s1Records)
    : file(file), finalise(finalise), s1Records(s1Records)
{
    const Profile profile = selectProfile(finalise, s1Records);
    start = profile.range.first;
    end = profile.range.last;
    data.reset(new uint8_t[profile.bufferSize]);
    std::memset(data.get(), 0xFF, profile.bufferSize);
    checksum = 0;
}

S19Image::~S19Image() = default;

void S19Image::parse()
{
    lowest = end;
    highest = start;
    loaded = 0;
    badLine = 0;
    auto reader = std::make_unique<LineReader>(file);
    const char *line = nullptr;
    std::size_t length = 0;
    uint32_t number = 1;
    for (; reader->next(line, length); ++number) {
        if (!parseLine(line, length)) {
            badLine = number;
            status = kStatusBadRecord;
            return;
        }
    }
    // A file that could not be read to its end is not loaded: a directory
    // or an I/O error would otherwise pass for an empty or truncated image.
    if (reader->readFailed()) {
        badLine = number;
        status = kStatusBadRecord;
        return;
    }
    if (finalise == 1) {
        if (s1Records != 0)
            finaliseS1Flash();
        else
            finaliseS3Flash();
    }
    status = kStatusLoaded;
}

// Lines that are not records of the type being read are skipped unchecked.
bool S19Image::parseLine(const char *line, std::size_t length)
{
    if (length < 2 || line[0] != 'S')
        return true;
    if (s1Records != 0)
        return line[1] == '1' ? parseRecord(line, length, 2) : true;
    return line[1] == '3' ? parseRecord(line, length, 4) : true;
}

// One data record: count, address, data, checksum. False when a character
// is not a hex digit, the line ends early, the count cannot hold the
// address and checksum, or the checksum does not match. Bytes of the record
// are stored as they are read, so a failing record leaves what preceded
// its fault in the image.
bool S19Image::parseRecord(const char *line, std::size_t length, unsigned addressBytes)
{
    uint8_t count = 0;
    if (length < 4 || !hexPair(line, 2, count))
        return false;
    if (count < addressBytes + 1 || length < 4 + 2 * std::size_t{count})
        return false;

    uint8_t sum = count;
    uint32_t address = 0;
    std::size_t pos = 4;
    for (unsigned i = 0; i < addressBytes; ++i, pos += 2) {
        uint8_t byte = 0;
        if (!hexPair(line, pos, byte))
            return false;
        sum = static_cast<uint8_t>(sum + byte);
        address = address << 8 | byte;
    }

    const unsigned dataBytes = count - addressBytes - 1u;
    for (unsigned i = 0; i < dataBytes; ++i, pos += 2) {
        uint8_t byte = 0;
        if (!hexPair(line, pos, byte))
            return false;
        sum = static_cast<uint8_t>(sum + byte);
        storeByte(address + i, byte);
    }

    uint8_t recordSum = 0;
    if (!hexPair(line, pos, recordSum))
        return false;
    return recordSum == static_cast<uint8_t>(~sum);
}

void S19Image::storeByte(uint32_t address, uint8_t value)
{
    if (address < start || address > end)
        return;
    data[address - start] = value;
    ++loaded;
    lowest = std::min(lowest, address);
    highest = std::max(highest, address);
}

// The panel's boot code checks the firmware against a word sum stored at
// 0x4200; the 512 bytes around it are left out so the sum does not cover
// itself.
void S19Image::finaliseS3Flash()
{
    const uint32_t sum = panel::firmwareChecksum(data.get());
    uint8_t *word = data.get() + (panel::kChecksumAddress - start);
    word[0] = static_cast<uint8_t>(sum >> 24);
    word[1] = static_cast<uint8_t>(sum >> 16);
    word[2] = static_cast<uint8_t>(sum >> 8);
    word[3] = static_cast<uint8_t>(sum);
    checksum = uint32_t{word[0]} | uint32_t{word[1]} << 8 | uint32_t{word[2]} << 16 |
               uint32_t{word[3]} << 24;
}

// The 16-bit part keeps its vectors 2 KiB below the top of its range, with
// a byte sum of everything below them in their last two bytes.
void S19Image::finaliseS1Flash()
{
    uint8_t *bytes = data.get();
    std::memmove(bytes + 0xCFC0, bytes + 0xD7C0, 64);
    highest -= 0x800;
    uint16_t sum = 0;
    for (uint32_t i = 0; i <= 0xCFFD; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    bytes[0xCFFE] = static_cast<uint8_t>(sum >> 8);
    bytes[0xCFFF] = static_cast<uint8_t>(sum);
    checksum = sum;
}

uint32_t S19Image::pageCount(uint32_t pageSize) const
{
    if (pageSize == 0 || loaded == 0 || highest < start)
        return 0;
    return (highest - start) / pageSize + 1;
}

uint32_t S19Image::getPage(uint32_t index, uint32_t pageSize, uint8_t *dst) const
{
    const uint64_t offset = uint64_t{index} * pageSize;
    if (offset >= rangeSize())
        return 0;
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(pageSize, rangeSize() - offset));
    std::memcpy(dst, data.get() + offset, count);
    return count;
}
