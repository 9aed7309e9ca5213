// The emulated panels on the real USB stack: umockdev device nodes whose
// usbfs ioctls are answered here, so that a program linked against the real
// libusb-0.1 talks to the panel model without knowing it is not a device.
// One bus: the first panel, any number more, each with its own memories,
// faults and port, which can be unplugged and plugged in again; and a
// device of the panel's maker where a fault asks for one.
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

// Another panel on the bus: its own memories, driver and faults.
struct PanelSpec {
    RamDriver driver = RamDriver::Auto;
    ModelFaults model;
    TransferFaults transfers;
    PanelStart start = PanelStart::Blank;
    bool noAccess = false;  // this user may not open its node (mode 0000)
    // Its sysfs entry does not say its vendor and product (yet), so the
    // kernel's list in sysfs misses it; both USB libraries still list it,
    // from its node and its descriptors.
    bool unnamedInSysfs = false;
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
    // The bus with its first panel (panel 0), and what `usbFaults` ask for:
    // a decoy, a second panel (panel 1, without faults of its own).
    UsbPanel(RamDriver driver, ModelFaults modelFaults = {}, UsbFaults usbFaults = {},
             PanelStart start = PanelStart::Blank);
    ~UsbPanel();
    UsbPanel(const UsbPanel &) = delete;
    UsbPanel &operator=(const UsbPanel &) = delete;

    // Plugs another panel into the bus's next port; returns its number.
    // (udev's listeners hear of panels plugged in and pulled out only when
    // the process holding the bus has umockdev's preload linked in.)
    std::size_t addPanel(const PanelSpec &spec);
    // Pulls panel `panel`'s cable: a transfer under way fails, every later
    // call on its node fails, and its node and sysfs entry go (udev hears
    // "remove").
    void unplug(std::size_t panel);
    // Plugs it into the same port again: a new device number and node
    // (udev hears "add"); it holds what it held.
    void plugIn(std::size_t panel);
    std::size_t panelCount() const;
    // What `udevadm trigger` does, as an administrator runs it after
    // changing a rule: udev tells its listeners of every panel on the bus
    // again ("add"), though none was plugged in.
    void announceAgain();

    // From now on the host's transfers are answered by `transfers`, a
    // capture's panel, instead of panel 0's model; differences are
    // violations.
    void replayCapture(std::vector<CapturedTransfer> transfers);

    // Between programs on the panels: whether the next one may only read.
    void setReadOnlyHost(bool readOnly);

    bool ready() const;
    const std::string &setupError() const;

    // Checks what a well-behaved host leaves behind when it ends normally:
    // interface 0 released and, where the host stays alive to be asked (in
    // the same process), the device closed. Adds violations otherwise.
    void checkHostEnded(bool hostStillRunning);

    // Snapshots, safe to take while a host runs.
    PanelModel model(std::size_t panel = 0) const;
    // How many whole frames the host has sent so far: cheaper than model().
    std::size_t hostFramesReceived(std::size_t panel = 0) const;
    std::vector<WireEntry> wire() const;
    std::vector<std::string> violations() const;
    // The nodes first on the bus in the order libusb-0.1 lists them (its
    // directory's order), e.g. {"003/003", "003/002"}.
    std::vector<std::string> listOrder() const;
    // Where panel `panel` is: its sysfs name, which is its port ("3-1"),
    // and its node ("003/002").
    std::string panelPort(std::size_t panel = 0) const;
    std::string panelDevice(std::size_t panel = 0) const;
    // The node a host last configured ("" when none).
    std::string configuredDevice() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace emu
