// What panel_tool does to one panel: a firmware flashed, or a language
// loaded. The panel is read first, and only what differs from what
// panel_flasher or lang_loader would leave there is erased and written,
// then read back; a panel that already holds the file is left untouched.
// A full service sends exactly what those programs send, then reads back
// what it wrote. What the panel held can be saved first (a Backup). The
// result is for a person, a script (JSON) and the bench's log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/failure.h"
#include "devlink/panel_list.h"
#include "devlink/progress.h"
#include "devlink/ram_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_service/backup.h"
#include "panel_service/readback.h"
#include "panel_service/record.h"

struct ServiceOptions {
    bool verify = true;  // read back what was written
    // As panel_flasher or lang_loader: everything erased and written, and
    // nothing read first unless a backup needs it.
    bool full = false;
    // What the panel held is saved here before anything is erased or
    // written; none when null.
    Backup *backup = nullptr;
};

// What the panel held before the service, as it was read.
struct Held {
    bool read = false;
    std::string sha256;  // of the memory as read: the language as a file has it, the whole firmware range
    int bootCheck = -1;  // the firmware's: 1 passed, 0 failed; -1 not known
};

struct ServiceResult {
    std::string command;  // "flash", "load-language", ...
    std::string port;     // the panel's port; empty where the system gives none
    std::string file;
    std::string sha256;
    Held held;
    uint32_t sectorsErased = 0;
    uint32_t pagesWritten = 0;
    uint32_t pagesSkipped = 0;   // read and found equal, so neither erased nor written
    uint32_t pagesVerified = 0;  // read back after the writes
    std::string backup;          // the backup's folder, when one was saved
    double seconds = 0;
    // 0 done: written (and verified, unless not asked) or already held;
    // 1 written but the panel does not hold the file; 3 the panel, a
    // driver or a file could not be used or a step failed.
    int status = 3;
    // "verified", "written", "already held", "mismatch", "failed"; the
    // read-back commands' "match" and "saved".
    std::string result;
    std::string line;  // what to tell a person on 0 and 1
    Failure failure;   // on 3

    // What JSON documents and the bench's log say of a service.
    Record record() const;
    // The record as one line of JSON.
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
// The firmware at `path`, the driver from the folder `drivers`. A firmware
// saved from a panel that failed its boot check is refused: with a fresh
// checksum word it would start.
bool readFirmwareInput(const std::string &path, const std::string &drivers, FirmwareInput &input,
                       Failure &failure);
// A firmware saved from a panel, to be put back exactly as it was held,
// checksum word and all.
bool readHeldFirmwareInput(const std::string &path, const std::string &drivers, FirmwareInput &input,
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
ServiceResult flashFirmware(const PanelPlace &panel, FirmwareInput &firmware, const ServiceOptions &options,
                            const Progress &progress);
ServiceResult loadLanguage(const PanelPlace &panel, const LanguageInput &language, const ServiceOptions &options,
                           const Progress &progress);
