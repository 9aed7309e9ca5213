// The JSON documents the tools write (results, the bench's log, a
// backup's list), through nlohmann-json. Every document is valid JSON
// (RFC 8259, UTF-8) whatever bytes a path or a cause holds: a text that
// is not valid UTF-8 (a Latin-1 file name, say) is given in its readable
// form, each bad byte as U+FFFD, and beside it, under the key with
// "_hex" after it, its exact bytes in hexadecimal, so that the path can
// still be recovered from a document.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

// json[key] = text, and json[key + "_hex"] when text is not UTF-8.
void putText(Json &json, const std::string &key, const std::string &text);
// The same for a text that may be missing: null when empty.
void putTextOrNull(Json &json, const std::string &key, const std::string &text);

// The exact text of json[key], as putText put it there; empty when the
// key is missing or not a text.
std::string textIn(const Json &json, const std::string &key);

// The document as one line.
std::string oneLine(const Json &json);
