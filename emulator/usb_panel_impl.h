// The inside of the umockdev front end, shared by its two halves: the bus
// it sets up (umockdev_bus.cpp) and the usbfs calls it answers
// (usb_panel.cpp).
#pragma once

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

// What a device node stands for; libusb lists them in directory order.
enum class Role { Decoy, Panel, SecondPanel };

// A URB the host has submitted and not yet reaped.
struct Urb {
    UMockdevIoctlClient *owner = nullptr;
    gulong address = 0;  // the host's own URB
    bool in = false;
    int endpoint = 0;
    std::size_t length = 0;
    bool done = false;
    std::size_t wireIndex = 0;
};

// What one open file of a node has done; the kernel keeps claims per
// open file.
struct ClientState {
    std::string device;     // the node's name, "001/002"
    bool claimed = false;
    bool released = false;
    bool used = false;      // made a call beyond what listing makes
    bool readOnly = false;  // opened while the node could not be written
    bool closedSeen = false;
};

struct Device {
    UsbPanel::Impl *panel = nullptr;
    std::string name;  // "001/002"
    std::string node;  // the node's file in the testbed
    std::string sysfsPath;
    int devnum = 0;
    Role role = Role::Decoy;
    UMockdevIoctlBase *handler = nullptr;
};

struct UsbPanel::Impl {
    mutable std::mutex lock;
    PanelModel model;
    UsbFaults faults;
    UMockdevTestbed *testbed = nullptr;
    std::string root;
    std::string error;
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::string> order;
    std::map<UMockdevIoctlClient *, ClientState> clients;
    std::vector<Urb> urbs;
    std::vector<WireEntry> wire;
    HostRules rules;
    std::unique_ptr<CaptureReplay> replay;  // answers instead of the model when set
    FaultCounter transferFaults;
    int bus = 0;
    int configuration = 0;
    std::string configured;
    bool kernelDriverBound = false;
    bool gone = false;

    Impl(RamDriver driver, ModelFaults mf, UsbFaults uf, PanelStart start)
        : model(driver, mf, start), faults(uf), transferFaults(uf)
    {
    }

    // The bus as umockdev presents it (umockdev_bus.cpp).
    bool build();
    void setAttribute(const Device &dev, const char *name, const std::string &value);
    // The host's usbfs calls (usb_panel.cpp).
    void handle(Device &dev, UMockdevIoctlClient *client);
    void noteClosedClients();
    void submit(Device &dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool wait);
    void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void complete(Urb &u, UMockdevIoctlClient *client, UMockdevIoctlData *urbData, UMockdevIoctlData *buffer,
                  int status, std::size_t actual, const std::vector<uint8_t> &received);
    void answerFromCapture(Urb &u, WireEntry &e, UMockdevIoctlClient *client, UMockdevIoctlData *urbData,
                           UMockdevIoctlData *buffer);
    void checkTransferAllowed(const Device &dev, UMockdevIoctlClient *client, const usbdevfs_urb &urb);
    void leavePending(Urb &u, WireEntry &e, UMockdevIoctlClient *client, UMockdevIoctlData *urbData,
                      UMockdevIoctlData *buffer, bool partial);
    WireEntry &log(const Device &dev, const char *op, int number);
};


} // namespace emu
