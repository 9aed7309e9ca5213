// Reads a Motorola S-record file into a byte image of one fixed range of the
// panel's address space, and hands the image out as pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class S19Image {
public:
    // Values of `finalise`: the RAM profile; a flash profile with its
    // checksum inserted; a flash profile exactly as the file fills it.
    static constexpr int kRamProfile = 0;
    static constexpr int kFinaliseWithChecksum = 1;
    static constexpr int kFlashProfileOnly = 2;
    // Parse outcomes held in `status`.
    static constexpr int kStatusBadRecord = 1;  // a record failed its checks
    static constexpr int kStatusLoaded = 2;     // the file was read to its end
    // The file is read in blocks of this many bytes; lines are found in
    // each block, and a line that runs across two is gathered apart.
    static constexpr std::size_t kReadBlock = std::size_t{1} << 16;

    // `finalise` non-zero selects a flash profile, 1 also inserts its
    // checksum; `s1Records` non-zero reads S1 records instead of S3.
    // The caller owns `file` and closes it after `parse`.
    S19Image(std::FILE *file, int finalise, int s1Records);
    ~S19Image();
    S19Image(const S19Image &) = delete;
    S19Image &operator=(const S19Image &) = delete;

    void parse();

    int getStatus() const { return status; }
    uint32_t getLowest() const { return lowest; }
    uint32_t getHighest() const { return highest; }
    uint32_t getLoaded() const { return loaded; }
    uint32_t getChecksum() const { return checksum; }
    uint32_t getStart() const { return start; }
    uint32_t getEnd() const { return end; }
    // The line, counted from 1, of the record that made the parse fail.
    uint32_t getBadLine() const { return badLine; }
    // The text of the file's first S0 (header) record, as far as its hex
    // digits go; empty when there is none. It names who wrote the file.
    const std::string &getHeader() const { return header; }

    // Pages from `start` through the page holding `highest`.
    uint32_t pageCount(uint32_t pageSize) const;
    // Copies the page at offset index * pageSize from `start`; returns the
    // number of bytes copied (0 past the range). dst beyond it is untouched.
    uint32_t getPage(uint32_t index, uint32_t pageSize, uint8_t *dst) const;

private:
    bool parseLine(const char *line, std::size_t length);
    bool parseRecord(const char *line, std::size_t length, unsigned addressBytes);
    void keepHeader(const char *line, std::size_t length);
    void storeBytes(uint32_t address, const uint8_t *bytes, unsigned n);
    void storeByte(uint32_t address, uint8_t value);
    void finaliseS3Flash();
    void finaliseS1Flash();
    uint32_t rangeSize() const { return end - start + 1; }

    uint32_t lowest = 0;
    uint32_t highest = 0;
    uint32_t loaded = 0;
    uint32_t start = 0;
    uint32_t end = 0;
    uint32_t checksum = 0;
    uint32_t badLine = 0;
    std::FILE *file;
    int status = 0;
    std::unique_ptr<uint8_t[]> data;
    int finalise;
    int s1Records;
    std::string header;
};
