// SHA-256, to name the exact file a panel was given, or what it held, in a
// result or a log: OpenSSL's libcrypto computes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The hash of `bytes`, as 64 lower-case hex digits.
std::string sha256Hex(const std::vector<uint8_t> &bytes);
// The hash of a whole file; empty when it cannot be read.
std::string sha256OfFile(const std::string &path);
