// Writes S-records: a panel's memory saved as a file that the reader
// (s19_image) takes back, and the sample files the tests make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One record of `type` ('0' header, '1'/'2'/'3' data, '7'/'8'/'9' end):
// its count, an address as wide as the type gives it, `data` and the
// checksum, in capital hex digits, without a line end.
std::string s19Record(char type, uint32_t address, const uint8_t *data, std::size_t n);
