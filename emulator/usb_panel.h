// The emulated panel on the real USB stack: umockdev device nodes whose
// usbfs ioctls are answered here, so that a program linked against the real
// libusb-0.1 talks to the panel model without knowing it is not a device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/panel_model.h"
#include "emulator/transfer_faults.h"

namespace emu {

struct CapturedTransfer;

// The bus as the host finds it, and the transfer that fails: a Gone
// transfer makes this and every later ioctl fail ENODEV; a Stall ends with
// an error status. Access faults are the device node's mode, which a
// program run by runProgram meets as a technician's account would.
struct UsbFaults : TransferFaults {
    bool noPanel = false;       // only another product of the panel's maker is present
    bool decoyFirst = false;    // another product of the panel's maker is listed first
    bool secondPanel = false;   // a second panel is listed after the first
    // The panel's node may be read but not written, and not even read once
    // libusb-0.1 has listed it: libusb-0.1 lists it and then cannot open
    // it; libusb-1.0, which opens only for writing, cannot open it at all.
    bool openRefused = false;
    // The panel is on the bus (sysfs) but this user may not open its node
    // (mode 0000): libusb-0.1 skips it without a word, libusb-1.0 lists it
    // and fails to open it.
    bool noAccess = false;
    // The node may be read but not written (0444, as Debian leaves a USB
    // node without our rule): every usbfs call on the read-only handle
    // libusb-0.1 then holds fails EPERM, as the kernel fails it.
    bool readOnlyNode = false;
    // SETCONFIGURATION fails with this errno. EPERM takes the right to
    // write the node away at that moment, as a rule applied late would.
    int configErrno = 0;
    int claimErrno = 0;         // CLAIMINTERFACE fails with this errno
    bool kernelDriver = false;  // a kernel driver holds interface 0 until detached
};

// One line of the wire log.
struct WireEntry {
    std::string device;  // "001/002"
    std::string op;      // OUT IN SETCONFIG CLAIM RELEASE GETDRIVER DETACH DISCARD CLOSE
    int number = 0;      // endpoint, configuration or interface
    std::size_t requested = 0;
    std::vector<uint8_t> bytes;
    std::string outcome;  // ok, stall, gone, timeout, refused (errno name), overflow
    std::string text() const;
};

class UsbPanel {
public:
    UsbPanel(RamDriver driver, ModelFaults modelFaults = {}, UsbFaults usbFaults = {},
             PanelStart start = PanelStart::Blank);
    ~UsbPanel();
    UsbPanel(const UsbPanel &) = delete;
    UsbPanel &operator=(const UsbPanel &) = delete;

    // From now on the host's transfers are answered by `transfers`, a
    // capture's panel, instead of the model; differences are violations.
    void replayCapture(std::vector<CapturedTransfer> transfers);

    // Between programs on one panel: whether the next one may only read.
    void setReadOnlyHost(bool readOnly);

    bool ready() const;
    const std::string &setupError() const;

    // Checks what a well-behaved host leaves behind when it ends normally:
    // interface 0 released and, where the host stays alive to be asked (in
    // the same process), the device closed. Adds violations otherwise.
    void checkHostEnded(bool hostStillRunning);

    // Snapshots, safe to take while a host runs.
    PanelModel model() const;
    // How many whole frames the host has sent so far: cheaper than model().
    std::size_t hostFramesReceived() const;
    std::vector<WireEntry> wire() const;
    std::vector<std::string> violations() const;
    // The devices in the order libusb lists them, e.g. {"001/003", "001/001"},
    // and the one a host configured ("" when none).
    std::vector<std::string> listOrder() const;
    std::string panelDevice() const;
    std::string configuredDevice() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace emu
