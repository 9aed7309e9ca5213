// JSON text for panel_tool's results and the bench's log: one object of
// plain fields, written as it is built.
#pragma once

#include <cstdint>
#include <string>

class JsonObject {
public:
    JsonObject &add(const std::string &key, const std::string &value);
    JsonObject &add(const std::string &key, const char *value) { return add(key, std::string(value)); }
    JsonObject &add(const std::string &key, int64_t value);
    JsonObject &add(const std::string &key, bool value);
    JsonObject &add(const std::string &key, double value);
    // A value that is already JSON (an array, an object).
    JsonObject &raw(const std::string &key, const std::string &json);
    std::string text() const { return "{" + body + "}"; }

private:
    void key(const std::string &name);
    std::string body;
};

// `text` as a JSON string, quotes included.
std::string jsonString(const std::string &text);
