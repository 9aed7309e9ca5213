#include "panel_service/json_text.h"

#include <cstdlib>

namespace {

// Whether the library finds nothing to mend in `text`: with invalid
// UTF-8 left out or replaced, the two dumps differ.
bool validUtf8(const std::string &text)
{
    const Json value = text;
    return value.dump(-1, ' ', false, Json::error_handler_t::ignore) ==
           value.dump(-1, ' ', false, Json::error_handler_t::replace);
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

void putText(Json &json, const std::string &key, const std::string &text)
{
    json[key] = text;
    if (!validUtf8(text))
        json[key + "_hex"] = hexOf(text);
}

void putTextOrNull(Json &json, const std::string &key, const std::string &text)
{
    if (text.empty())
        json[key] = nullptr;
    else
        putText(json, key, text);
}

std::string textIn(const Json &json, const std::string &key)
{
    const auto hex = json.find(key + "_hex");
    if (hex != json.end() && hex->is_string()) {
        const std::string digits = hex->get<std::string>();
        std::string bytes;
        for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
            bytes += static_cast<char>(std::strtol(digits.substr(i, 2).c_str(), nullptr, 16));
        return bytes;
    }
    const auto text = json.find(key);
    return text != json.end() && text->is_string() ? text->get<std::string>() : std::string();
}

std::string oneLine(const Json &json)
{
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}
