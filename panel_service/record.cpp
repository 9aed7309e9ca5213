#include "panel_service/record.h"

#include <cstdlib>

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

std::string textIn(const Record &record, const std::string &key)
{
    const auto hex = record.find(key + "_hex");
    if (hex != record.end() && hex->is_string()) {
        const std::string digits = hex->get<std::string>();
        std::string bytes;
        for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
            bytes += static_cast<char>(std::strtol(digits.substr(i, 2).c_str(), nullptr, 16));
        return bytes;
    }
    const auto text = record.find(key);
    return text != record.end() && text->is_string() ? text->get<std::string>() : std::string();
}

std::string oneLine(const Record &record)
{
    return record.dump(-1, ' ', false, Record::error_handler_t::replace);
}
