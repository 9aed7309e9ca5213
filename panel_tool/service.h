// What panel_tool does to one panel: a firmware flashed, or a language
// loaded, through the same sequences as panel_flasher and lang_loader, then
// every page written read back and compared (unless told not to); and the
// result, for a person, a script (JSON) or the bench's log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/failure.h"
#include "devlink/panel_list.h"
#include "devlink/progress.h"
#include "devlink/ram_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_readback/readback.h"

struct ServiceResult {
    std::string command;  // "flash", "load-language", ...
    std::string port;     // the panel's port; empty where the system gives none
    std::string file;
    std::string sha256;
    uint32_t pagesWritten = 0;
    uint32_t pagesVerified = 0;
    double seconds = 0;
    // 0 written (and verified, unless not asked), 1 written but the panel
    // does not hold the file, 3 the panel, a driver or a file could not be
    // used or a step failed.
    int status = 3;
    std::string result;  // "verified", "written", "mismatch", "failed"
    std::string line;    // what to tell a person on 0 and 1
    Failure failure;     // on 3

    std::string json() const;
};

// A firmware and the RAM driver that writes it, read and checked once,
// before any panel is touched.
struct FirmwareInput {
    std::string path;
    std::string sha256;
    PanelFlashDriver client;  // holds the image, finalised as panel_flasher's
    ImageHolder driver;       // cf_flash.S19
};
// The firmware at `path`, the driver from the folder `drivers`.
bool readFirmwareInput(const std::string &path, const std::string &drivers, FirmwareInput &input,
                       Failure &failure);

// A language file, read whole and checked once, and its RAM driver.
struct LanguageInput {
    std::string path;
    std::string sha256;
    std::vector<uint8_t> bytes;  // its 65,792 bytes
    ImageHolder driver;          // serial_flash.S19
};
bool readLanguageInput(const std::string &path, const std::string &drivers, LanguageInput &input,
                       Failure &failure);

// A file's name as a person's line gives it: without its folder.
std::string fileName(const std::string &path);

// The services, on `panel`.
ServiceResult flashFirmware(const PanelPlace &panel, FirmwareInput &firmware, bool verify,
                            const Progress &progress);
ServiceResult loadLanguage(const PanelPlace &panel, const LanguageInput &language, bool verify,
                           const Progress &progress);
