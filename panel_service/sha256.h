// SHA-256, to name the exact file a panel was given, or what it held, in a
// result or a log: OpenSSL's libcrypto computes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The hash of `n` bytes, as 64 lower-case hex digits.
std::string sha256Hex(const uint8_t *bytes, std::size_t n);
inline std::string sha256Hex(const std::vector<uint8_t> &bytes) { return sha256Hex(bytes.data(), bytes.size()); }
inline std::string sha256Hex(const std::string &bytes)
{
    return sha256Hex(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}
