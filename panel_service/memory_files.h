// Files written whole, so that nothing half-written is ever left under a
// name asked for; and a memory saved as S3 records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/failure.h"

// `pages` of the panel's flash from flash page 64, as S3 records of 32
// bytes: an S0 header carrying `header`, the pages that are not entirely
// erased (0xFF), and an S7 termination record.
std::string firmwareRecords(const std::vector<uint8_t> &pages, const std::string &header);

// Writes `bytes` to a temporary file beside `path`, syncs it and renames
// it to `path` only once it is complete, then syncs the folder, so that no
// half-written file is ever left under the name asked for, not even after
// a power cut. Any of these that fails is reported: what depends on the
// file (a panel about to be erased) must not go on.
bool writeWhole(const std::string &path, const std::string &bytes, Failure &failure);

// Syncs `folder`, so that a name made or changed in it (a file renamed, a
// folder made) is on the disk.
bool syncFolder(const std::string &folder, Failure &failure);
