// Why a run failed: one small value, set where the failure happens, cleared
// when the next operation starts, and put into a technician's words in one
// place (describe), for the one line a failing program adds on standard
// error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

enum class FailureKind : uint8_t {
    None,
    // ---- The panel on USB ----
    // Nothing with 15a2:0040 is on the bus: check the cable, and that the
    // panel was powered up into its bootloader.
    NoPanel,
    // The panel is on the bus (sysfs lists it) but libusb may not open its
    // node, so it does not list it: install the udev rule and join group
    // plugdev, or log in at the machine, or run as root.
    NoAccess,
    // usb_open refused the panel it listed; `result` is the errno when
    // libusb left one. (A refusal for permission is NoAccess.)
    Open,
    // Configuration 1 was refused; `result` is libusb's result (ERANGE:
    // libusb-compat's word for an error libusb-1.0 has no code for).
    Configure,
    // Interface 0 could not be claimed (busy: another program holds it).
    Claim,
    // An OUT transfer failed (`result` < 0) or moved `result` bytes of
    // `wanted`: unplugged, stalled, the panel stopped listening, or (for
    // a reply) sent more than was asked for.
    Send,
    // The same for an IN transfer; a 5 s silence ends as a time-out.
    Receive,
    // A reply frame announced `result` bytes, more than a frame holds: not
    // the bootloader or a driver of ours, or a corrupted transfer.
    ReplyTooLong,
    // The ping's reply began with `result` (-1: was empty) instead of "B":
    // the panel runs its firmware, not its bootloader.
    NotBootloader,
    // A request of `result` bytes does not fit a frame: a fault of the
    // calling code, never of the panel.
    RequestTooLong,
    // A page read was answered with `result` bytes, not a page and its
    // sub-command (`wanted`): not our driver, or a corrupted transfer.
    PageReplyLength,
    // ---- Files ----
    // `path` could not be opened; `result` is the errno.
    FileOpen,
    // `path` could not be read (at `offset` when known); `result` is the
    // errno, 0 when the file ended early, at `size`, though it was long
    // enough when the run began.
    FileRead,
    // `path` could not be written; `result` is the errno: check the
    // folder's permissions and free space.
    FileWrite,
    // `path` has a bad S-record at `line`: check the file.
    BadRecord,
    // `path` has no S3 data inside the profile's range `first`-`last`: the
    // wrong file, or S1 records.
    NoDataInRange,
    // The language file `path` holds `size` bytes, fewer than one language.
    LanguageTooShort,
    // `path` is a directory or a device, not a file.
    NotRegularFile,
    // `path` is not a backup: it holds no backup.json that can be read
    // (or a power cut ended the backup before its first memory was whole).
    NotABackup,
    // `path`, a backup's file, differs from the SHA-256 its backup.json
    // recorded: the backup is damaged.
    BackupDamaged,
    // `path` holds a firmware saved from a panel that failed its boot
    // check: flashed with a fresh checksum it would start; only restore
    // --force puts it back, exactly as the panel held it.
    FailingBackup,
    // `path` is refused: its signature is missing, malformed or not by a
    // trusted key, or does not hold; `reason` says which, and what to do.
    SignatureRefused,
    // The panel chosen from the list cannot be used: `path` names it and
    // what stands in the way, as the list says ("port 1-1: this user may
    // not write /dev/bus/usb/001/002 (...): ...").
    ChosenPanelUnusable,
    // ---- The program ----
    // A flashing sequence was asked for without a loaded firmware image.
    NoFirmware,
    // The command line was wrong; `path` holds the usage.
    Usage,
};

// The request a failure interrupted, with its page or sector.
enum class FailedStep : uint8_t {
    None,
    Ping,
    RamPage,
    DriverCall,
    SerialInit,
    SerialWrite,
    SerialRead,
    FlashInit,
    FlashErase,
    FlashWrite,
    FlashRead,
};

struct Failure {
    FailureKind kind = FailureKind::None;
    FailedStep step = FailedStep::None;
    int32_t number = 0;   // the step's page or sector
    int32_t result = 0;   // see each kind
    int32_t wanted = 0;   // bytes a transfer should have moved
    bool timedOut = false;  // the transfer's time-out passed (with `result` bytes moved)
    std::string path;     // the file, or the usage text
    uint32_t line = 0;    // a bad record's line, counted from 1
    int64_t offset = -1;  // where a read failed
    int64_t size = 0;     // a short file's size
    uint32_t first = 0;   // the range a file had to fill
    uint32_t last = 0;
    std::string reason;   // why a file was refused, in full

    bool failed() const { return kind != FailureKind::None; }
};

// A failure about a file (or, for Usage, the usage text), with its errno.
inline Failure fileFailure(FailureKind kind, std::string path, int32_t result = 0)
{
    Failure failure;
    failure.kind = kind;
    failure.path = std::move(path);
    failure.result = result;
    return failure;
}

// `path` holds no data in the range `first`-`last` (NoDataInRange).
inline Failure noDataIn(std::string path, uint32_t first, uint32_t last)
{
    Failure failure = fileFailure(FailureKind::NoDataInRange, std::move(path));
    failure.first = first;
    failure.last = last;
    return failure;
}

// The failure in a technician's words; empty when nothing failed.
std::string describe(const Failure &failure);

// What gives a user access to the panel's device node.
std::string accessAdvice();
