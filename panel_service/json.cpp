#include "panel_service/json.h"

#include <cstdio>

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void JsonObject::key(const std::string &name)
{
    if (!body.empty())
        body += ", ";
    body += jsonString(name) + ": ";
}

JsonObject &JsonObject::add(const std::string &name, const std::string &value)
{
    key(name);
    body += jsonString(value);
    return *this;
}

JsonObject &JsonObject::add(const std::string &name, int64_t value)
{
    key(name);
    body += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::add(const std::string &name, bool value)
{
    key(name);
    body += value ? "true" : "false";
    return *this;
}

JsonObject &JsonObject::add(const std::string &name, double value)
{
    key(name);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    body += text;
    return *this;
}

JsonObject &JsonObject::raw(const std::string &name, const std::string &json)
{
    key(name);
    body += json;
    return *this;
}
