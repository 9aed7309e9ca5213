// The files panel_readback reads and writes: a language file as
// lang_loader takes it, and a firmware as S3 records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/failure.h"

// A language file's first 65,792 bytes: 256 data pages, then the header.
bool readLanguageFile(const std::string &path, std::vector<uint8_t> &bytes, Failure &failure);

// `pages` of the panel's flash from flash page 64, as S3 records of 32
// bytes: an S0 header, the pages that are not entirely erased (0xFF), and
// an S7 termination record.
std::string firmwareRecords(const std::vector<uint8_t> &pages);

// Writes all of `bytes` to `fd`, through interruptions and short writes;
// false, with errno set (EIO when the file took nothing), when it cannot.
bool writeAll(int fd, const std::string &bytes);

// Writes `bytes` to a temporary file beside `path` and renames it to
// `path` only once it is complete, so that no half-written file is ever
// left under the name asked for.
bool writeWhole(const std::string &path, const std::string &bytes, Failure &failure);
