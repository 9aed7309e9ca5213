#include "emulator/srec_writer.h"

#include <algorithm>
#include <cstdio>

#include "devlink/s19_writer.h"
#include "emulator/panel_model.h"

namespace srec {

std::string file(char type, uint32_t base, const std::vector<uint8_t> &bytes,
                 std::size_t perRecord, const std::string &lineEnd)
{
    static const uint8_t header[] = {'p', 'a', 'n', 'e', 'l'};
    std::string out = record('0', 0, header, sizeof header) + lineEnd;
    for (std::size_t at = 0; at < bytes.size(); at += perRecord) {
        const std::size_t n = std::min(perRecord, bytes.size() - at);
        out += record(type, base + static_cast<uint32_t>(at), bytes.data() + at, n) + lineEnd;
    }
    const char end = type == '1' ? '9' : type == '2' ? '8' : '7';
    out += record(end, base, nullptr, 0) + lineEnd;
    return out;
}

std::vector<uint8_t> patternBytes(std::size_t n, uint32_t seed)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (auto &byte : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

bool writeText(const std::string &path, const std::string &text)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace srec

namespace samples {

std::string ramDriver(const char *tag, std::size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes = srec::patternBytes(size, seed);
    for (std::size_t i = 0; tag[i] != '\0' && i < size; ++i)
        bytes[i] = static_cast<uint8_t>(tag[i]);
    if (size >= emu::kDriverSizeOffset + 2) {
        bytes[emu::kDriverSizeOffset] = static_cast<uint8_t>(size >> 8);
        bytes[emu::kDriverSizeOffset + 1] = static_cast<uint8_t>(size);
    }
    return srec::file('3', panel::kRamDriverRange.first, bytes);
}

std::vector<uint8_t> languageFile(uint32_t seed)
{
    return srec::patternBytes(0x10000 + 0x100, seed);
}

std::string firmware(uint32_t first, uint32_t last, uint32_t seed, std::size_t perRecord)
{
    return srec::file('3', first, srec::patternBytes(last - first + 1, seed), perRecord);
}

} // namespace samples
