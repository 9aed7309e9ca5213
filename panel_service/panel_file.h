// A firmware or a language file as a service writes it, and the RAM driver
// that writes it: each file read once, before any panel is touched, its
// hash and the image flashed made from the same bytes.
#pragma once

#include <cstdint>
#include <string>

#include "devlink/failure.h"
#include "devlink/ram_driver.h"
#include "panel_service/plan.h"
#include "panel_service/trusted_keys.h"

struct PanelFile {
    Memory memory = Memory::Flash;
    std::string path;
    std::string sha256;       // of the whole file, as read
    Bytes expected;           // the whole memory as a full write leaves it
    uint32_t pagesToWrite = 0;  // a full write's pages, from the first
    std::string header;       // a firmware's S0 text: who saved it
    Signer signer;            // who signed it, when its signature was checked
    ImageHolder driver;       // the memory's RAM driver
};

// How a firmware is taken: to be flashed as panel_flasher flashes it, its
// checksum word made afresh; to compare a panel with that; or exactly as
// a panel held it, saved by a backup, to put it back.
enum class FirmwareUse { ToFlash, ToCompare, AsHeld };

// A file's whole contents, at most `longest` bytes (EFBIG beyond); false,
// with `failure`, when it cannot be read.
bool readWholeFile(const std::string &path, std::string &bytes, Failure &failure,
                   std::size_t longest = std::size_t{64} << 20);

// A firmware from its file's bytes (`text`). A firmware saved from a panel
// that failed its boot check is not taken to flash: with a fresh checksum
// word it would start.
bool firmwareFrom(const std::string &path, const std::string &text, FirmwareUse use, PanelFile &file,
                  Failure &failure);
// A language from its file's bytes: its data pages, then its header; at
// least 65,792 bytes, of which the rest is not written.
bool languageFrom(const std::string &path, const std::string &bytes, PanelFile &file, Failure &failure);

// The same, read once from `path`, its signature checked over the bytes
// read as `trust` says; a language only from a regular file.
bool readFirmwareFile(const std::string &path, FirmwareUse use, const FileTrust &trust, PanelFile &file,
                      Failure &failure);
bool readLanguageFile(const std::string &path, const FileTrust &trust, PanelFile &file, Failure &failure);

// The memory's RAM driver from the folder `drivers`: cf_flash.S19 or
// serial_flash.S19.
bool readDriverOf(Memory memory, const std::string &drivers, ImageHolder &driver, Failure &failure);

// The header of a firmware saved from a panel: who saved it, and whether
// the panel's boot check passed ("panel_tool backup; boot check passes").
std::string savedFirmwareHeader(const std::string &savedBy, bool bootCheckPassed);
