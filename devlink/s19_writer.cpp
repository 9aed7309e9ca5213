#include "devlink/s19_writer.h"

namespace {

unsigned addressBytes(char type)
{
    switch (type) {
    case '0': case '1': case '9': return 2;
    case '2': case '8': return 3;
    default: return 4;
    }
}

void appendHex(std::string &out, uint8_t byte)
{
    static const char digits[] = "0123456789ABCDEF";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

} // namespace

std::string s19Record(char type, uint32_t address, const uint8_t *data, std::size_t n)
{
    const unsigned width = addressBytes(type);
    const uint8_t count = static_cast<uint8_t>(width + n + 1);
    std::string out = "S";
    out += type;
    appendHex(out, count);
    uint8_t sum = count;
    for (unsigned i = width; i-- > 0;) {
        const uint8_t byte = static_cast<uint8_t>(address >> (8 * i));
        appendHex(out, byte);
        sum = static_cast<uint8_t>(sum + byte);
    }
    for (std::size_t i = 0; i < n; ++i) {
        appendHex(out, data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    appendHex(out, static_cast<uint8_t>(~sum));
    return out;
}
