// Times as the tools write them, always in UTC: a backup's folder name
// ("20261208T093012Z"), and the times in backups, logs and the record
// ("2026-12-08T09:30:12Z").
#pragma once

#include <ctime>
#include <string>

constexpr const char *kUtcTime = "%Y-%m-%dT%H:%M:%SZ";

// `when` as strftime's `format` gives it in UTC.
std::string utcText(std::time_t when, const char *format = kUtcTime);
