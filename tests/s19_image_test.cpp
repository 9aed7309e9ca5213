// The S-record reader, fed with files written by the tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devlink/s19_image.h"
#include "emulator/srec_writer.h"

namespace {

struct Parsed {
    std::unique_ptr<S19Image> image;
    uint8_t at(uint32_t address) const
    {
        uint8_t byte = 0;
        EXPECT_EQ(image->getPage(address - image->getStart(), 1, &byte), 1u) << address;
        return byte;
    }
    S19Image *operator->() const { return image.get(); }
};

// finalise and s1Records as the programs pass them.
Parsed parseText(const std::string &text, int finalise, int s1Records)
{
    std::FILE *file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    Parsed parsed{std::make_unique<S19Image>(file, finalise, s1Records)};
    parsed.image->parse();
    std::fclose(file);
    return parsed;
}

Parsed parseRam(const std::string &text) { return parseText(text, 0, 0); }
Parsed parseFirmware(const std::string &text) { return parseText(text, 1, 0); }

std::string s3(uint32_t address, const std::vector<uint8_t> &bytes)
{
    return srec::record('3', address, bytes) + "\n";
}

uint32_t bigEndianWord(const Parsed &p, uint32_t address)
{
    return uint32_t{p.at(address)} << 24 | uint32_t{p.at(address + 1)} << 16 |
           uint32_t{p.at(address + 2)} << 8 | p.at(address + 3);
}

// The first header record's text is kept, who saved the file; a header
// is never data, and a bad one fails nothing.
TEST(S19Records, TheHeaderNamesWhoWroteTheFile)
{
    const std::string saved = "saved; boot check fails";
    const std::string header = srec::record('0', 0, reinterpret_cast<const uint8_t *>(saved.data()), saved.size());
    auto p = parseFirmware(header + "\n" + s3(0x4000, {1, 2, 3, 4}) + srec::record('0', 0, {'x'}) + "\n");
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getHeader(), saved);
    EXPECT_EQ(p->getLoaded(), 4u);
    EXPECT_EQ(parseFirmware("S0\n" + s3(0x4000, {1}))->getHeader(), "");
    EXPECT_EQ(parseFirmware("S00A0000616263ZZ\n" + s3(0x4000, {1}))->getHeader(), "abc");
}

TEST(S19Records, WorkedS3RecordLandsAtTheFirmwareStart)
{
    EXPECT_EQ(srec::record('3', 0x4000, {1, 2, 3, 4}), "S3090000400001020304AC");
    auto p = parseFirmware("S3090000400001020304AC\n");
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getLoaded(), 4u);
    EXPECT_EQ(p->getLowest(), 0x4000u);
    EXPECT_EQ(p->getHighest(), 0x4003u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(p.at(0x4000 + i), i + 1);
    EXPECT_EQ(p.at(0x4004), 0xFF);
}

TEST(S19Records, WorkedS1RecordLandsAtTheS1RamStart)
{
    EXPECT_EQ(srec::record('1', 0x70, {0xAA, 0xBB, 0xCC, 0xDD}), "S1070070AABBCCDD7A");
    auto p = parseText("S1070070AABBCCDD7A\r\n", 0, 1);
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getLoaded(), 4u);
    EXPECT_EQ(p.at(0x70), 0xAA);
    EXPECT_EQ(p.at(0x73), 0xDD);
}

struct ProfileCase {
    int finalise;
    int s1Records;
    uint32_t start;
    uint32_t end;
};

void PrintTo(const ProfileCase &c, std::ostream *os) { *os << std::hex << c.start << "-" << c.end; }

std::string profileName(const ::testing::TestParamInfo<ProfileCase> &info)
{
    static const char *const names[] = {"RamDriver", "Firmware", "S1Ram", "S1Flash"};
    return names[info.index];
}

class S19Profiles : public ::testing::TestWithParam<ProfileCase> {};

// Bytes just outside the range are dropped silently; the edges are kept.
TEST_P(S19Profiles, KeepsExactlyTheProfileRange)
{
    const ProfileCase c = GetParam();
    const char type = c.s1Records ? '1' : '3';
    std::string text = srec::record(type, c.start - 2, {0x11, 0x22, 0x33}) + "\n" +
                       srec::record(type, c.end - 1, {0x44, 0x55, 0x66}) + "\n";
    auto p = parseText(text, c.finalise == 1 ? 2 : c.finalise, c.s1Records);
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getStart(), c.start);
    EXPECT_EQ(p->getEnd(), c.end);
    EXPECT_EQ(p->getLoaded(), 3u);
    EXPECT_EQ(p->getLowest(), c.start);
    EXPECT_EQ(p->getHighest(), c.end);
    EXPECT_EQ(p.at(c.start), 0x33);
    EXPECT_EQ(p.at(c.start + 1), 0xFF);
    EXPECT_EQ(p.at(c.end - 1), 0x44);
    EXPECT_EQ(p.at(c.end), 0x55);
    std::vector<uint8_t> whole(c.end - c.start + 1);
    EXPECT_EQ(p->getPage(0, c.end - c.start + 1, whole.data()), c.end - c.start + 1);
    EXPECT_EQ(p->getPage(1, c.end - c.start + 1, whole.data()), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllFour, S19Profiles,
                         ::testing::Values(ProfileCase{0, 0, 0x20000000, 0x20001FFF},
                                           ProfileCase{1, 0, 0x4000, 0x3FFFF},
                                           ProfileCase{0, 1, 0x70, 0x76F},
                                           ProfileCase{1, 1, 0x2800, 0xFFFF}),
                         profileName);

TEST(S19Records, OverlapsKeepTheLaterByteAndCountBoth)
{
    auto p = parseRam(s3(0x20000000, {1, 2, 3}) + s3(0x20000001, {9}));
    EXPECT_EQ(p.at(0x20000001), 9);
    EXPECT_EQ(p->getLoaded(), 4u);
}

TEST(S19Records, ReadingGoesOnPastTerminationRecordsAndOtherTypes)
{
    std::string text = s3(0x20000000, {1}) + srec::record('7', 0, nullptr, 0) + "\n" +
                       s3(0x20000001, {2}) + srec::record('8', 0, nullptr, 0) + "\n" +
                       srec::record('2', 0x000010, {7, 7}) + "\n" + "S9030000FC\n" +
                       s3(0x20000002, {3}) + "\n\nthis is not a record\n";
    auto p = parseRam(text);
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getLoaded(), 3u);
    EXPECT_EQ(p.at(0x20000002), 3);
}

TEST(S19Records, FilesOfOtherRecordTypesLoadNothing)
{
    const auto bytes = srec::patternBytes(64, 1);
    std::vector<Parsed> images;
    images.push_back(parseRam(srec::file('1', 0x100, bytes)));
    images.push_back(parseRam(srec::file('2', 0x100, bytes)));
    images.push_back(parseText(srec::file('3', 0x100, bytes), 0, 1));
    images.push_back(parseRam(""));
    for (const auto &p : images) {
        EXPECT_EQ(p->getStatus(), 2);
        EXPECT_EQ(p->getLoaded(), 0u);
        EXPECT_EQ(p->pageCount(256), 0u);
    }
}

TEST(S19Records, BadChecksumMidFileKeepsEarlierBytesAndSkipsFinalisation)
{
    std::string bad = srec::record('3', 0x4010, {5, 6});
    bad.back() = bad.back() == '0' ? '1' : '0';
    auto p = parseFirmware(s3(0x4000, {1, 2}) + bad + "\n" + s3(0x4020, {3}));
    EXPECT_EQ(p->getStatus(), 1);
    EXPECT_EQ(p.at(0x4000), 1);
    EXPECT_EQ(p.at(0x4010), 5);  // the failing record's own bytes stay
    EXPECT_EQ(p.at(0x4020), 0xFF);
    EXPECT_EQ(bigEndianWord(p, 0x4200), 0xFFFFFFFFu);
    EXPECT_EQ(p->getChecksum(), 0u);
}

TEST(S19Finalise, FirmwareWordSumSkipsTheChecksumBlock)
{
    auto bytes = srec::patternBytes(0x3C000, 7);
    auto p = parseFirmware(srec::file('3', 0x4000, bytes, 250));
    ASSERT_EQ(p->getStatus(), 2);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < bytes.size(); i += 4) {
        if (i >= 0x200 && i < 0x400)
            continue;
        sum += uint32_t{bytes[i]} << 24 | uint32_t{bytes[i + 1]} << 16 |
               uint32_t{bytes[i + 2]} << 8 | bytes[i + 3];
    }
    EXPECT_EQ(bigEndianWord(p, 0x4200), sum);
    EXPECT_EQ(p->getChecksum(), __builtin_bswap32(sum));
    for (uint32_t a = 0x4204; a < 0x4400; ++a)
        ASSERT_EQ(p.at(a), bytes[a - 0x4000]) << a;
    EXPECT_EQ(p->getHighest(), 0x3FFFFu);
    EXPECT_EQ(p->pageCount(256), 960u);
}

TEST(S19Finalise, FirmwareSumOfASmallImageCountsTheErasedFill)
{
    auto p = parseFirmware(s3(0x4000, {0x12, 0x34, 0x56, 0x78}));
    // 0x12345678 plus (0x3C000 / 4 - 1 - 128) words of 0xFFFFFFFF.
    const uint32_t words = 0x3C000 / 4 - 1 - 128;
    EXPECT_EQ(bigEndianWord(p, 0x4200), 0x12345678u - words);
    EXPECT_EQ(p->pageCount(256), 1u);  // the inserted word does not widen the span
}

TEST(S19Finalise, S1FlashCopiesVectorsDownAndAppendsByteSum)
{
    auto bytes = srec::patternBytes(0x10000 - 0x2800, 3);
    auto p = parseText(srec::file('1', 0x2800, bytes, 32), 1, 1);
    ASSERT_EQ(p->getStatus(), 2);
    std::vector<uint8_t> expected = bytes;
    std::copy(bytes.begin() + 0xD7C0, bytes.end(), expected.begin() + 0xCFC0);
    uint16_t sum = 0;
    for (uint32_t i = 0; i <= 0xCFFD; ++i)
        sum = static_cast<uint16_t>(sum + expected[i]);
    for (uint32_t a = 0xF7C0; a < 0xF7FE; ++a)
        ASSERT_EQ(p.at(a), bytes[a + 0x800 - 0x2800]) << a;
    EXPECT_EQ(p.at(0xF7FE), sum >> 8);
    EXPECT_EQ(p.at(0xF7FF), sum & 0xFF);
    EXPECT_EQ(p->getChecksum(), sum);
    EXPECT_EQ(p->getHighest(), 0xF7FFu);
    EXPECT_EQ(p.at(0xFFFF), bytes.back());
}

TEST(S19Pages, RamDriverPageCountGrowsWithOneMoreByte)
{
    auto bytes = srec::patternBytes(0x101, 5);
    auto whole = parseRam(srec::file('3', 0x20000000, std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)));
    auto plusOne = parseRam(srec::file('3', 0x20000000, bytes));
    EXPECT_EQ(whole->pageCount(256), 1u);
    EXPECT_EQ(plusOne->pageCount(256), 2u);
    EXPECT_EQ(plusOne->pageCount(0), 0u);
}

// Counting the span from the lowest address would give 2 pages here and
// drop the bytes at 0x20000200 and above.
TEST(S19Pages, ImageStartingAboveTheProfileStartKeepsItsLastPages)
{
    auto p = parseRam(srec::file('3', 0x20000180, srec::patternBytes(0x101, 9)));
    EXPECT_EQ(p->pageCount(256), 3u);
    uint8_t page[256];
    EXPECT_EQ(p->getPage(2, 256, page), 256u);
    EXPECT_NE(page[0x80], 0xFF);
}

TEST(S19Pages, GetPageNeverLeavesTheRange)
{
    auto p = parseText(srec::record('1', 0x76F, {0x5A}) + "\n", 0, 1);
    uint8_t page[0x300];
    std::fill(std::begin(page), std::end(page), 0xEE);
    EXPECT_EQ(p->getPage(2, 0x300, page), 0x100u);  // 0x700-byte range: the last page is short
    EXPECT_EQ(page[0xFF], 0x5A);
    EXPECT_EQ(page[0x100], 0xEE);
    EXPECT_EQ(p->getPage(3, 0x300, page), 0u);
    EXPECT_EQ(p->getPage(0xFFFFFFFF, 0x300, page), 0u);
}

TEST(S19Pages, S1FlashImageBelowItsLoweredTopHasNoPages)
{
    auto p = parseText(srec::record('1', 0x2800, {1, 2, 3}) + "\n", 1, 1);
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->pageCount(256), 0u);
}

// Lower-case digits used to read as 0; here they must give their values.
TEST(S19HexDigits, LowerCaseDigitsReadAsTheirValues)
{
    std::string line = srec::record('3', 0x20000000, {0xAB, 0xCD, 0xEF});
    for (auto &c : line)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    line[0] = 'S';
    auto p = parseRam(line + "\n");
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p.at(0x20000000), 0xAB);
    EXPECT_EQ(p.at(0x20000002), 0xEF);
}

// Every character of a record but the "S3", replaced in turn by each
// character next to the digit ranges: the record is refused, however the
// bad digit would have read. 0xFF and 0x00 are in the data so that a bad
// digit read as F, or as 0, would still give the right byte.
TEST(S19HexDigits, AnyOtherCharacterRejectsTheRecord)
{
    const std::string valid = srec::record('3', 0x20000000, {0x00, 0xFF, 0x9A, 0x0F});
    for (std::size_t pos = 2; pos < valid.size(); ++pos) {
        for (char c : {'G', 'g', '/', ':', '@', '`', 'x', ' ', '\t', '\0'}) {
            std::string line = valid;
            line[pos] = c;
            auto p = parseRam(s3(0x20000010, {1}) + line + "\n");
            EXPECT_EQ(p->getStatus(), 1) << "position " << pos << ", character " << int(c);
            EXPECT_EQ(p.at(0x20000010), 1);
        }
    }
}

// Under 255-character pieces this record's tail would be read as a line of
// its own and its checksum from the wrong place.
TEST(S19Lines, LongestRecordLoadsWhole)
{
    auto bytes = srec::patternBytes(250, 11);
    std::string line = srec::record('3', 0x20000000, bytes);
    ASSERT_EQ(line.size(), 514u);
    auto p = parseRam(line + "\r\n" + s3(0x20000100, {7}));
    ASSERT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getLoaded(), 251u);
    EXPECT_EQ(p.at(0x20000000 + 249), bytes[249]);
    EXPECT_EQ(p.at(0x20000100), 7);
}

TEST(S19Lines, TextAfterTheChecksumIsIgnoredHoweverLong)
{
    std::string line = srec::record('3', 0x20000000, {1, 2}) + "  ; comment " + std::string(5000, 'Z');
    auto p = parseRam(line + "\n" + s3(0x20000010, {3}));
    EXPECT_EQ(p->getStatus(), 2);
    EXPECT_EQ(p->getLoaded(), 3u);
}

TEST(S19Lines, RecordCutShortIsBad)
{
    std::string line = srec::record('3', 0x20000000, {1, 2, 3, 4});
    for (std::size_t keep : {std::size_t{2}, std::size_t{3}, std::size_t{11}, line.size() - 1}) {
        auto p = parseRam(line.substr(0, keep) + "\r\n" + s3(0x20000010, {3}));
        EXPECT_EQ(p->getStatus(), 1) << keep;
    }
    // Cut short at the end of the file, with no line end at all.
    EXPECT_EQ(parseRam(line.substr(0, line.size() - 1))->getStatus(), 1);
    EXPECT_EQ(parseRam(line)->getStatus(), 2);
}

// The line before leaves the missing checksum right where a reader that
// looked past the line's end would find it.
TEST(S19Lines, RecordOnePairShortDoesNotBorrowFromTheLineBefore)
{
    const std::string line = srec::record('3', 0x20000000, {1, 2, 3, 4});
    auto p = parseRam(line + "\n" + line.substr(0, line.size() - 2) + "\n");
    EXPECT_EQ(p->getStatus(), 1);
    EXPECT_EQ(p->getBadLine(), 2u);
}

TEST(S19Lines, CountTooSmallForAddressAndChecksumIsBad)
{
    EXPECT_EQ(parseRam("S30400000000FB\n")->getStatus(), 1);
    EXPECT_EQ(parseRam("S3050000000FA\n")->getStatus(), 1);  // one digit short
    EXPECT_EQ(parseRam("S30500000000FA\n")->getStatus(), 2);
    EXPECT_EQ(parseText("S1020000FD\n", 0, 1)->getStatus(), 1);
    EXPECT_EQ(parseText("S1030000FC\n", 0, 1)->getStatus(), 2);
    // Its checksum taken for a data byte would be stored in the range.
    auto noChecksum = parseRam("S30420000000DB\n");
    EXPECT_EQ(noChecksum->getStatus(), 1);
    EXPECT_EQ(noChecksum->getLoaded(), 0u);
    EXPECT_EQ(noChecksum.at(0x20000000), 0xFF);
    // Or its last address byte for a checksum, here a matching one.
    EXPECT_EQ(parseRam("S304200000DB\n")->getStatus(), 1);
}

// Comment lines that make `text` reach `offset` bytes.
std::string padTo(std::string text, std::size_t offset)
{
    if (offset > text.size() + 1)
        text += std::string(offset - text.size() - 1, ';');
    if (offset > text.size())
        text += "\n";
    return text;
}

// A line end right at a block boundary, after a line that ended with a
// lone carriage return or as a "\r\n" pair split by the boundary: every
// record is read as a line of its own, wherever the boundary falls.
TEST(S19Lines, LineEndsAroundABlockBoundary)
{
    const std::string a = srec::record('3', 0x20000000, {1, 2});
    const std::string b = srec::record('3', 0x20000010, {3, 4});
    const std::string c = srec::record('3', 0x20000020, {5, 6});
    const std::size_t boundary = S19Image::kReadBlock;
    for (const char *aEnd : {"\r", "\r\n", "\n"}) {
        for (int shift = -4; shift <= 4; ++shift) {
            // b's line end at the boundary plus shift.
            const std::size_t bEnd = boundary + shift;
            const std::string head = a + aEnd;
            const std::string text = padTo("", bEnd - b.size() - head.size()) + head + b + "\n" + c + "\n";
            auto p = parseRam(text);
            EXPECT_EQ(p->getStatus(), 2) << "shift " << shift;
            EXPECT_EQ(p->getLoaded(), 6u) << "a ended with " << (aEnd[1] ? "CRLF" : aEnd[0] == '\r' ? "CR" : "LF")
                                          << ", shift " << shift;
            EXPECT_EQ(p.at(0x20000011), 4);
            EXPECT_EQ(p.at(0x20000021), 6);
        }
    }
}

// A line that runs across a block boundary is gathered into a buffer that
// the previous such line filled: a record cut short there must not be
// completed with that line's characters (here, its own missing ones).
TEST(S19Lines, RecordCutShortAcrossABlockBoundaryBorrowsNothing)
{
    const std::string whole = srec::record('3', 0x20000000, {1, 2, 3, 4});
    const std::size_t boundary = S19Image::kReadBlock;
    for (std::size_t cut : {2u, 4u}) {
        for (std::size_t into = 1; into < whole.size() - cut; into += 7) {
            std::string text = padTo("", boundary - into) + whole + "\n";
            text = padTo(text, 2 * boundary - into) + whole.substr(0, whole.size() - cut) + "\n";
            auto p = parseRam(text);
            EXPECT_EQ(p->getStatus(), 1) << "cut " << cut << ", " << into << " characters before the boundary";
        }
    }
}

} // namespace

namespace {

TEST(S19Lines, BadRecordReportsItsLineCountedFromOne)
{
    std::string text = srec::record('3', 0x4000, {1, 2, 3}) + "\r\n" + srec::record('3', 0x4003, {4}) +
                       "\n" + srec::record('3', 0x4004, {5}) + "\n";
    text[text.rfind('\n') - 1] ^= 1;
    const auto parsed = parseFirmware(text);
    EXPECT_EQ(parsed->getStatus(), S19Image::kStatusBadRecord);
    EXPECT_EQ(parsed->getBadLine(), 3u);
    EXPECT_EQ(parseFirmware(text.substr(0, text.find('\n') + 1))->getBadLine(), 0u);
}

// A stream that cannot be read to its end is not an empty or short image.
TEST(S19Lines, ReadErrorIsNotTakenForTheEndOfTheFile)
{
    std::FILE *dir = std::fopen("/", "r");
    ASSERT_NE(dir, nullptr);
    S19Image image(dir, 1, 0);
    image.parse();
    std::fclose(dir);
    EXPECT_EQ(image.getStatus(), S19Image::kStatusBadRecord);
    EXPECT_EQ(image.getBadLine(), 1u);
}

} // namespace
