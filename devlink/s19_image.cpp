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

// Hands out the file's lines one by one, without their line ends, each cut
// to kLongestRecord characters. The stream is read in large blocks. A line
// that lies inside one block is handed out where it lies; only a line that
// runs across blocks is gathered into a buffer of its own. Line ends are
// found with memchr, one pass per character kind over each block, because
// a byte-by-byte search for either of two characters dominates the parse.
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
            if (afterCr) {
                // The "\n" of a "\r\n" pair, also when a block ended
                // between them.
                afterCr = false;
                if (block[pos] == '\n') {
                    ++pos;
                    continue;
                }
            }
            any = true;
            const std::size_t end = lineEnd();
            if (end < filled && kept == 0) {
                line = block + pos;
                length = std::min(end - pos, kLongestRecord);
                endLineAt(end);
                return true;
            }
            keep(block + pos, end - pos);
            if (end < filled) {
                endLineAt(end);
                break;
            }
            pos = end;
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
        nextLf = nextCr = kNotSearched;
        filled = std::fread(block, 1, sizeof block, file);
        return filled > 0;
    }

    // "\r", "\n" and "\r\n" all end a line: files from old editors end
    // their lines with a lone carriage return.
    std::size_t lineEnd()
    {
        if (nextLf == kNotSearched || nextLf < pos)
            nextLf = find('\n');
        if (nextCr == kNotSearched || nextCr < pos)
            nextCr = find('\r');
        return std::min(nextLf, nextCr);
    }

    // Where `c` next occurs in the block, or `filled`.
    std::size_t find(char c) const
    {
        const void *at = std::memchr(block + pos, c, filled - pos);
        return at != nullptr ? static_cast<std::size_t>(static_cast<const char *>(at) - block) : filled;
    }

    void endLineAt(std::size_t end)
    {
        afterCr = block[end] == '\r';
        pos = end + 1;
    }

    void keep(const char *from, std::size_t n)
    {
        const std::size_t copy = std::min(n, kLongestRecord - kept);
        std::memcpy(lineBuf + kept, from, copy);
        kept += copy;
    }

    static constexpr std::size_t kNotSearched = ~std::size_t{0};

    std::FILE *file;
    char block[S19Image::kReadBlock];
    std::size_t pos = 0;
    std::size_t filled = 0;
    std::size_t nextLf = kNotSearched;
    std::size_t nextCr = kNotSearched;
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

// Lines that are not records of the type being read are skipped unchecked;
// the first header record's text is kept.
bool S19Image::parseLine(const char *line, std::size_t length)
{
    if (length < 2 || line[0] != 'S')
        return true;
    if (line[1] == '0')
        keepHeader(line, length);
    if (s1Records != 0)
        return line[1] == '1' ? parseRecord(line, length, 2) : true;
    return line[1] == '3' ? parseRecord(line, length, 4) : true;
}

// One data record: count, address, data, checksum. False when a character
// is not a hex digit, the line ends early, the count cannot hold the
// address and checksum, or the checksum does not match. The record is
// decoded whole before anything is stored; then the data bytes that
// precede a bad digit, or all of them when only the checksum is wrong,
// are stored, so a failing record leaves what preceded its fault in the
// image. Nothing is ever read past the line's own characters.
bool S19Image::parseRecord(const char *line, std::size_t length, unsigned addressBytes)
{
    uint8_t count = 0;
    if (length < 4 || !hexPair(line, 2, count))
        return false;
    if (count < addressBytes + 1 || length < 4 + 2 * std::size_t{count})
        return false;

    // Address, data and checksum bytes, as many as the count says.
    uint8_t bytes[0xFF] = {};
    const char *digits = line + 4;
    unsigned decoded = 0;
    for (; decoded < count; ++decoded) {
        const uint8_t hi = kHex.value[static_cast<uint8_t>(digits[2 * decoded])];
        const uint8_t lo = kHex.value[static_cast<uint8_t>(digits[2 * decoded + 1])];
        if ((hi | lo) & 0xF0)  // kBadDigit has high bits set, digits never do
            break;
        bytes[decoded] = static_cast<uint8_t>(hi << 4 | lo);
    }
    if (decoded < addressBytes)
        return false;

    uint32_t address = 0;
    for (unsigned i = 0; i < addressBytes; ++i)
        address = address << 8 | bytes[i];
    const unsigned dataBytes = count - addressBytes - 1u;
    const unsigned validData = std::min(decoded - addressBytes, dataBytes);
    storeBytes(address, bytes + addressBytes, validData);
    if (decoded < count)
        return false;

    uint8_t sum = count;
    for (unsigned i = 0; i + 1 < count; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return bytes[count - 1] == static_cast<uint8_t>(~sum);
}

// A header: count, a 2-byte address, its text, a checksum; the text as
// far as whole hex pairs go on the line.
void S19Image::keepHeader(const char *line, std::size_t length)
{
    uint8_t count = 0;
    if (!header.empty() || length < 8 || !hexPair(line, 2, count))
        return;
    uint8_t byte = 0;
    for (std::size_t i = 0; i + 3 < count && 8 + 2 * i + 1 < length && hexPair(line, 8 + 2 * i, byte); ++i)
        header += static_cast<char>(byte);
}

// Bytes for consecutive addresses from `address` (wrapping at 2^32), each
// kept only inside the range.
void S19Image::storeBytes(uint32_t address, const uint8_t *bytes, unsigned n)
{
    if (n == 0)
        return;
    const uint32_t last = address + (n - 1);
    if (address >= start && last <= end && last >= address) {
        std::memcpy(data.get() + (address - start), bytes, n);
        loaded += n;
        lowest = std::min(lowest, address);
        highest = std::max(highest, last);
        return;
    }
    for (unsigned i = 0; i < n; ++i)
        storeByte(address + i, bytes[i]);
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
