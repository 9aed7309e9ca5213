#include "panel_service/record.h"

namespace {

// Whether the library finds nothing to mend in `text`: with invalid
// UTF-8 left out or replaced, the two dumps differ.
bool validUtf8(const std::string &text)
{
    const Record value = text;
    return value.dump(-1, ' ', false, Record::error_handler_t::ignore) ==
           value.dump(-1, ' ', false, Record::error_handler_t::replace);
}

std::string hexOf(const std::string &bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

} // namespace

void putText(Record &record, const std::string &key, const std::string &text)
{
    record[key] = text;
    if (!validUtf8(text))
        record[key + "_hex"] = hexOf(text);
}

void putTextOrNull(Record &record, const std::string &key, const std::string &text)
{
    if (text.empty())
        record[key] = nullptr;
    else
        putText(record, key, text);
}

std::string oneLine(const Record &record)
{
    return record.dump(-1, ' ', false, Record::error_handler_t::replace);
}
