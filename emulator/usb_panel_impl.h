// The inside of the umockdev front end, shared by its two halves: the bus
// it sets up (umockdev_bus.cpp) and the usbfs calls it answers
// (usb_panel.cpp).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include "emulator/capture/capture_replay.h"
#include "emulator/host_rules.h"
#include "emulator/usb_panel.h"

namespace emu {

// Bytes as the upper-case hex umockdev records and the wire log use.
std::string upperHex(const std::vector<uint8_t> &bytes);

struct Device;

// A URB the host has submitted and not yet reaped. Its outcome is decided
// when it is submitted, or when it is discarded or its panel unplugged,
// and written into the host's URB and buffer when the host reaps it.
struct Urb {
    UMockdevIoctlClient *owner = nullptr;
    Device *device = nullptr;
    gulong address = 0;  // the host's own URB
    bool in = false;
    int endpoint = 0;
    std::size_t length = 0;
    UMockdevIoctlData *urbData = nullptr;  // the host's URB, and its buffer (IN)
    UMockdevIoctlData *buffer = nullptr;
    bool done = false;  // its outcome is decided: a reap takes it
    std::chrono::steady_clock::time_point doneAt{};  // not before (an erase takes time)
    int status = 0;
    std::size_t actual = 0;
    std::vector<uint8_t> data;  // IN: what comes back
    std::size_t wireIndex = 0;
};

// What one open file of a node has done; the kernel keeps claims per open
// file.
struct ClientState {
    std::string device;     // the node's name, "001/002"
    bool claimed = false;
    bool released = false;
    bool used = false;      // made a call beyond what listing makes
    bool readOnly = false;  // opened while the node could not be written
    bool closedSeen = false;
    // The program has been told the panel is gone (a call of its own
    // failed with ENODEV, a transfer ended with ESHUTDOWN). A cable pulled
    // between two calls shows only in the next.
    bool toldGone = false;
};

// A panel, whichever node it has: what it holds and does, and how it
// misbehaves. Its memories outlive an unplug.
struct PanelState {
    PanelState(RamDriver driver, ModelFaults modelFaults, TransferFaults transfers, PanelStart start)
        : model(driver, modelFaults, start), transferFaults(transfers)
    {
    }
    PanelModel model;
    FaultCounter transferFaults;  // counts its transfers over every plug-in
    UsbFaults access;             // its access faults (noAccess, configErrno, ...)
    int port = 0;                 // N of its port "B-N"
    Device *device = nullptr;     // its node while plugged in
};

// A device node, from plug-in to unplug.
struct Device {
    UsbPanel::Impl *bus = nullptr;
    PanelState *panel = nullptr;  // none: the other product of the maker
    std::string name;             // "001/002"
    std::string node;             // the node's file in the testbed
    std::string sysfsPath;
    int devnum = 0;
    UMockdevIoctlBase *handler = nullptr;
    HostRules rules;  // what the host did on this node
    bool gone = false;
    int configuration = 0;
    bool kernelDriverBound = false;
};

struct UsbPanel::Impl {
    mutable std::mutex lock;
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    std::string error;
    int bus = 0;
    int nextDevnum = 2;
    int nextPort = 1;
    std::vector<std::unique_ptr<PanelState>> panels;
    std::vector<std::unique_ptr<Device>> devices;  // every node the bus ever had
    std::vector<std::string> order;
    std::map<UMockdevIoctlClient *, ClientState> clients;
    std::vector<Urb> urbs;
    std::vector<WireEntry> wire;
    HostRules endings;  // how the hosts left the panels
    std::unique_ptr<CaptureReplay> replay;  // answers instead of panel 0's model when set
    std::string configured;

    // The bus as umockdev presents it (umockdev_bus.cpp).
    bool build(RamDriver driver, ModelFaults modelFaults, UsbFaults usbFaults, PanelStart start);
    Device *addDevice(PanelState *panel, int port, bool asPanel);
    void attach(Device &dev, PanelState &panel);
    void describeDevice(Device &dev, bool panel);
    void setAttribute(const Device &dev, const char *name, const std::string &value);
    void removeDevice(Device &dev);
    void announce(const Device &dev);
    // The host's usbfs calls (usb_panel.cpp).
    void handle(Device &dev, UMockdevIoctlClient *client);
    bool answerConfiguration(Device &dev, UMockdevIoctlClient *client, gulong request, UMockdevIoctlData *arg);
    void noteClosedClients();
    void submit(Device &dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void decide(Urb &u, WireEntry &e);
    void leavePending(Urb &u, WireEntry &e, bool partial);
    void answerFromCapture(Urb &u, WireEntry &e);
    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool wait);
    void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void checkTransferAllowed(Device &dev, UMockdevIoctlClient *client, const usbdevfs_urb &urb);
    void unplugged(Device &dev);
    WireEntry &log(const Device &dev, const char *op, int number);
};

} // namespace emu
