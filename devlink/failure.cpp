#include "devlink/failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// What gives a user access to the panel's device node.
const std::string kAccessAdvice =
    "install the udev rule and join group plugdev, or log in at the machine, or run as root";

// libusb's negated errno in the words that tell a technician what to do.
// Both libusb-0.1s are meant: libusb-0.1.12 passes the kernel's errno on,
// libusb-compat its own translation of libusb-1.0's codes.
std::string describeError(int result)
{
    switch (-result) {
    case EACCES:
    case EPERM:  // also a node this user may read but not write
        return "permission denied: " + kAccessAdvice;
    case EBADF:  // libusb hands out a handle even when the node would not open
        return "the panel's device node could not be opened: " + kAccessAdvice;
    case EBUSY:
        return "busy: another program holds the panel";
    case ENODEV:
    case ENXIO:  // libusb-compat's word for a device that is gone
    case ENOENT:
    case ESHUTDOWN:
        return "the panel was unplugged";
    case EPIPE:
        return "the panel stalled the transfer";
    case EIO:  // a bus error, and the panel is still there
        return "the transfer broke off with an error on the bus: check the cable";
    case ETIMEDOUT:
        return "no answer within 5 s";
    case ERANGE:  // libusb-1.0 said only "other error", and the node is writable
        return "refused for a reason the USB library does not give (this user may write the panel's node)";
    default:
        return std::strerror(-result);
    }
}

// A refusal of configuration 1 or of interface 0: that it does not exist
// reads EINVAL from the kernel, ENOENT through libusb-compat.
std::string describeRefusal(int result, const char *what)
{
    if (result == -EINVAL || result == -ENOENT)
        return std::string("the device has no ") + what + ": is it the panel's bootloader?";
    return describeError(result);
}

// A transfer's outcome: an error, or a count short of what was asked.
// libusb-0.1.12 reports a stall and an unplug during the transfer alike,
// as 0 bytes moved; libusb-compat tells them apart.
std::string describeTransfer(const Failure &f)
{
    const std::string count = " (" + std::to_string(f.result) + " of " + std::to_string(f.wanted) + " bytes)";
    if (f.result == -EOVERFLOW)
        return "the panel sent more than the " + std::to_string(f.wanted) + " bytes asked for";
    if (f.result < 0)
        return describeError(f.result);
    if (f.timedOut)
        return "the panel stopped answering after " + std::to_string(f.result) + " of " + std::to_string(f.wanted) +
               " bytes: no answer within 5 s";
    if (f.result == 0)
        return "nothing moved: the panel stalled the transfer or was unplugged" + count;
    return "the panel cut the transfer short" + count;
}

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string quoted(const std::string &path) { return "\"" + path + "\""; }

std::string describeKind(const Failure &f)
{
    switch (f.kind) {
    case FailureKind::None:
        return {};
    case FailureKind::NoPanel:
        return "no USB device 15a2:0040 found: is the panel plugged in and in its bootloader?";
    case FailureKind::NoAccess:
        return "the panel (USB 15a2:0040) is connected, but this user may not open it: " + kAccessAdvice;
    case FailureKind::Open:
        // errno is only worth quoting when usb_open left one.
        if (f.result == 0)
            return "the panel was found but could not be opened";
        return "the panel was found but could not be opened: " + describeError(f.result);
    case FailureKind::Configure:
        return "could not select the panel's configuration 1: " + describeRefusal(f.result, "such configuration");
    case FailureKind::Claim:
        return "could not claim the panel's interface 0: " + describeRefusal(f.result, "such interface");
    case FailureKind::Send:
        return "sending to the panel failed: " + describeTransfer(f);
    case FailureKind::Receive:
        return "receiving from the panel failed: " + describeTransfer(f);
    case FailureKind::ReplyTooLong:
        return "the panel announced a " + std::to_string(f.result) +
               "-byte reply; a frame holds at most 265";
    case FailureKind::NotBootloader:
        if (f.result < 0)
            return "the panel answered the ping with an empty frame, not its bootloader's \"B\"";
        return "the panel answered the ping with " + hex(static_cast<uint32_t>(f.result), 2) +
               ", not its bootloader's \"B\"";
    case FailureKind::RequestTooLong:
        return "a request of " + std::to_string(f.result) + " bytes does not fit a frame";
    case FailureKind::PageReplyLength:
        return "the panel answered with " + std::to_string(f.result) + " bytes where a page takes " +
               std::to_string(f.wanted);
    case FailureKind::FileOpen:
        return "cannot open " + quoted(f.path) + ": " + std::strerror(f.result);
    case FailureKind::FileRead:
        if (f.result == 0)
            return quoted(f.path) + " ended at byte " + std::to_string(f.size) +
                   " during the run: it was changed or cut";
        if (f.offset >= 0)
            return "cannot read " + quoted(f.path) + " at byte " + std::to_string(f.offset) + ": " +
                   std::strerror(f.result);
        return "cannot read " + quoted(f.path) + ": " + std::strerror(f.result);
    case FailureKind::FileWrite:
        return "cannot write " + quoted(f.path) + ": " + std::strerror(f.result);
    case FailureKind::BadRecord:
        return quoted(f.path) + " line " + std::to_string(f.line) + ": bad S-record";
    case FailureKind::NoDataInRange:
        return quoted(f.path) + " holds no S3 data in " + hex(f.first, 4) + "-" + hex(f.last, 4);
    case FailureKind::LanguageTooShort:
        return quoted(f.path) + " is " + std::to_string(f.size) + " bytes; a language file has " +
               std::to_string(f.wanted);
    case FailureKind::NotRegularFile:
        return quoted(f.path) + " is not a regular file";
    case FailureKind::NotABackup:
        return quoted(f.path) + " is not a backup: it holds no backup.json that can be read";
    case FailureKind::BackupDamaged:
        return quoted(f.path) + " differs from the SHA-256 its backup recorded: the backup is damaged";
    case FailureKind::FailingBackup:
        return quoted(f.path) + " was saved from a panel that failed its boot check: flashed, that image would "
                                "start; panel_tool restore --force puts back exactly what the panel held";
    case FailureKind::SignatureRefused:
        return quoted(f.path) + ": " + f.reason;
    case FailureKind::ChosenPanelUnusable:
        return "the panel at " + f.path;
    case FailureKind::NoFirmware:
        return "no firmware image is loaded";
    case FailureKind::Usage:
        return "usage: " + f.path;
    }
    return {};
}

std::string describeStep(const Failure &f)
{
    const std::string n = std::to_string(f.number);
    switch (f.step) {
    case FailedStep::None: return {};
    case FailedStep::Ping: return "pinging the bootloader";
    case FailedStep::RamPage: return "sending RAM driver page " + n;
    case FailedStep::DriverCall: return "calling the RAM driver";
    case FailedStep::SerialInit: return "initialising the serial flash";
    case FailedStep::SerialWrite: return "writing serial flash page " + n;
    case FailedStep::SerialRead: return "reading serial flash page " + n;
    case FailedStep::FlashInit: return "initialising the panel flash";
    case FailedStep::FlashErase: return "erasing flash sector " + n;
    case FailedStep::FlashWrite: return "writing flash page " + n;
    case FailedStep::FlashRead: return "reading flash page " + n;
    }
    return {};
}

} // namespace

std::string accessAdvice() { return kAccessAdvice; }

std::string describe(const Failure &failure)
{
    const std::string what = describeKind(failure);
    const std::string step = describeStep(failure);
    if (what.empty() || step.empty())
        return what;
    return step + ": " + what;
}
