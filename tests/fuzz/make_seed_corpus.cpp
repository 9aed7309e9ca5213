// Writes the fuzz target's seed inputs: valid files of our own generator for
// each profile (the first byte picks it), with CRLF, lower-case and broken
// variants. Usage: make_seed_corpus DIR
#include <cctype>
#include <cstdio>
#include <string>

#include "emulator/srec_writer.h"

namespace {

// Profile bytes as the fuzz target reads them: finalise + 3 * s1Records.
constexpr char kRamS3 = 0, kFirmwareS3 = 1, kFlashNoSumS3 = 2, kRamS1 = 3, kFlashS1 = 4;

bool seed(const std::string &dir, const std::string &name, char profile, const std::string &text)
{
    return srec::writeText(dir + "/" + name, std::string(1, profile) + text);
}

std::string crlf(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::string lower(std::string text)
{
    for (std::size_t i = 2; i < text.size(); ++i)
        text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    return text;
}

// The last character of the third record flipped: a checksum that fails.
std::string broken(std::string text)
{
    std::size_t at = 0;
    for (int line = 0; line < 3; ++line)
        at = text.find('\n', at) + 1;
    text[at - 2] = text[at - 2] == '0' ? '1' : '0';
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: make_seed_corpus DIR\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string driver = samples::ramDriver("SEED-DRIVER", 0x300, 1);
    const std::string firmware = samples::firmware(0x4000, 0x47FF, 2);
    const std::string s1Ram = srec::file('1', 0x70, srec::patternBytes(0x700, 3));
    const std::string s1Flash = srec::file('1', 0x2800, srec::patternBytes(0x300, 4)) +
                                srec::file('1', 0xD7C0, srec::patternBytes(0x40, 5));
    const bool ok =
        seed(dir, "ram-driver", kRamS3, driver) && seed(dir, "ram-driver-crlf", kRamS3, crlf(driver)) &&
        seed(dir, "ram-driver-lower", kRamS3, lower(driver)) &&
        seed(dir, "ram-driver-broken", kRamS3, broken(driver)) &&
        seed(dir, "firmware", kFirmwareS3, firmware) &&
        seed(dir, "firmware-250", kFirmwareS3, samples::firmware(0x4000, 0x4FFF, 6, 250)) &&
        seed(dir, "firmware-range-end", kFirmwareS3, samples::firmware(0x3FF00, 0x3FFFF, 7)) &&
        seed(dir, "firmware-straddling", kFirmwareS3,
             srec::file('3', 0x3FFF0, srec::patternBytes(0x20, 8)) +
                 srec::file('3', 0x3FF0, srec::patternBytes(0x20, 9))) &&
        seed(dir, "firmware-broken", kFirmwareS3, broken(firmware)) &&
        seed(dir, "flash-no-checksum", kFlashNoSumS3, firmware) &&
        seed(dir, "s1-ram", kRamS1, s1Ram) && seed(dir, "s1-flash", kFlashS1, s1Flash) &&
        seed(dir, "s1-flash-broken", kFlashS1, broken(s1Flash)) &&
        seed(dir, "s1-flash-vectors-only", kFlashS1, srec::file('1', 0xD7C0, srec::patternBytes(0x40, 10)));
    return ok ? 0 : 1;
}
