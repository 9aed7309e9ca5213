// What a panel held, saved before a service changes it, and taken back by
// restore. A backup is a folder of its own below the one asked for, named
// by the panel's port and the time (UTC): "1-1.4-20261208T093012Z". It
// holds what was read of each memory as a file that panel_tool takes back
// (language.bin, 65,792 bytes; firmware.s19, S3 records), and backup.json,
// which names them with their SHA-256, the SHA-256 of the memory as read,
// and whether the firmware passed the panel's boot check. Every file is
// written whole under a temporary name, synced and renamed, and
// backup.json, rewritten so, lists a file only once it is whole: a power
// cut never leaves a half-written backup looking whole.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "devlink/failure.h"
#include "panel_service/panel_file.h"
#include "panel_service/json_text.h"

class Backup {
public:
    // A backup of the panel at `port`, begun at `when`, below `folder`;
    // nothing is written until the first memory is saved.
    Backup(std::string folder, std::string port, std::time_t when);

    // What `memory` held, as its file has it: the language's 65,792 bytes,
    // or the whole firmware range (0x4000-0x3FFFF).
    bool save(Memory memory, const Bytes &held, Failure &failure);

    // The backup's own folder (once something is saved).
    const std::string &path() const { return own; }

private:
    bool begin(Failure &failure);

    std::string folder;
    std::string port;
    std::time_t when;
    std::string own;
    Json manifest;  // backup.json as it stands
};

// The folder backups go to exists (it is made when missing) and can be
// written: checked before any panel is touched.
bool prepareBackupFolder(const std::string &folder, Failure &failure);

// A backup as restore takes it back: each file read once, checked against
// its hash, and taken as it was held.
struct SavedBackup {
    std::string path;
    bool hasLanguage = false;
    PanelFile language;
    bool hasFirmware = false;
    PanelFile firmware;
    bool firmwareBootCheckPassed = true;
};
bool readBackup(const std::string &path, SavedBackup &backup, Failure &failure);
