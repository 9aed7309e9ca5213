// The bus the umockdev front end presents: a device node per panel holding
// its descriptors, a sysfs entry with vendor, product, numbers, speed and
// descriptors as the kernel shows them, and a port each panel keeps.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulator/usb_panel_impl.h"

namespace emu {

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *dev = static_cast<Device *>(data);
    dev->bus->handle(*dev, client);
    return TRUE;
}

// A node the owner may not write can only have been opened for reading:
// the program runs without root's permission override (runProgram).
bool ownerMayWrite(const std::string &node)
{
    struct stat st {};
    return stat(node.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

void onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *dev = static_cast<Device *>(data);
    std::lock_guard<std::mutex> guard(dev->bus->lock);
    g_object_ref(client);
    ClientState state;
    state.device = dev->name;
    state.readOnly = !ownerMayWrite(dev->node);
    dev->bus->clients.emplace(client, state);
    dev->bus->noteClosedClients();
}

constexpr uint8_t kPanelProduct = 0x40;
constexpr uint8_t kDecoyProduct = 0x41;

// Device descriptor, then configuration 1 with interface 0 and its two bulk
// endpoints, as the node file of a usbfs device holds them. The vendor is
// always the panel's maker.
std::vector<uint8_t> descriptors(uint8_t product)
{
    return {
        // device
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0xA2, 0x15, product, 0x00,
        0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
        // configuration 1, 32 bytes in all
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
        // interface 0, two endpoints, vendor class
        0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,
        // bulk IN 0x81 and bulk OUT 0x02, 64-byte packets
        0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,
    };
}

std::string threeDigits(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

} // namespace

std::string upperHex(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

void UsbPanel::Impl::setAttribute(const Device &dev, const char *name, const std::string &value)
{
    // sysfs ends every attribute with a line end.
    umockdev_testbed_set_attribute(testbed, dev.sysfsPath.c_str(), name, (value + "\n").c_str());
}

// A new node on the bus at port B-`port`, with its sysfs entry, answered by
// this bus: a panel (for `panel`, when given), or the other product of the
// panel's maker.
Device *UsbPanel::Impl::addDevice(PanelState *panel, int port, bool asPanel)
{
    auto dev = std::make_unique<Device>();
    dev->bus = this;
    dev->devnum = nextDevnum++;
    dev->name = threeDigits(bus) + "/" + threeDigits(dev->devnum);
    dev->node = root + "/dev/bus/usb/" + dev->name;
    const std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" +
                             std::to_string(bus) + "-" + std::to_string(port);
    dev->sysfsPath = "/sys" + path;
    const std::string bytes = upperHex(descriptors(asPanel ? kPanelProduct : kDecoyProduct));
    const std::vector<std::pair<const char *, std::string>> attributes{
        {"idVendor", "15a2"}, {"idProduct", asPanel ? "0040" : "0041"},
        {"busnum", std::to_string(bus)}, {"devnum", std::to_string(dev->devnum)},
        {"devpath", std::to_string(port)}, {"speed", "12"},
        {"bConfigurationValue", "1"}, {"bNumConfigurations", "1"}};
    // Everything in the record, so that a listener told of the device
    // finds it whole.
    std::string record = "P: " + path + "\nN: bus/usb/" + dev->name + "=" + bytes +
                         "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/" + dev->name +
                         "\nE: BUSNUM=" + threeDigits(bus) + "\nE: DEVNUM=" + threeDigits(dev->devnum) +
                         "\nE: PRODUCT=15a2/" + (asPanel ? "40" : "41") + "/100\nH: descriptors=" + bytes +
                         "\n";
    // sysfs ends every attribute with a line end (escaped in the record).
    for (const auto &[name, value] : attributes)
        record += std::string("A: ") + name + "=" + value + "\\n\n";
    // The node answers before the device is added, as adding it tells
    // udev's listeners: one may open it at once.
    GError *err = nullptr;
    dev->handler = umockdev_ioctl_base_new();
    g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(onIoctl), dev.get());
    g_signal_connect(dev->handler, "client-connected", G_CALLBACK(onConnected), dev.get());
    if (!umockdev_testbed_attach_ioctl(testbed, ("/dev/bus/usb/" + dev->name).c_str(), dev->handler, &err)) {
        error = "cannot attach to " + dev->name + ": " + err->message;
        g_error_free(err);
        return nullptr;
    }
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
        error = std::string("cannot add device: ") + err->message;
        g_error_free(err);
        return nullptr;
    }
    if (panel != nullptr)
        attach(*dev, *panel);
    devices.push_back(std::move(dev));
    return devices.back().get();
}

// The node stands for the panel from now on: its access faults are the
// node's mode, its kernel driver is bound.
void UsbPanel::Impl::attach(Device &dev, PanelState &panel)
{
    dev.panel = &panel;
    panel.device = &dev;
    panel.port = std::stoi(dev.sysfsPath.substr(dev.sysfsPath.rfind('-') + 1));
    dev.kernelDriverBound = panel.access.kernelDriver;
    if (panel.access.noAccess)
        chmod(dev.node.c_str(), 0000);
    else if (panel.access.openRefused || panel.access.readOnlyNode)
        chmod(dev.node.c_str(), 0444);
}

// Turns a node made for a panel into the other product of its maker.
void UsbPanel::Impl::describeDevice(Device &dev, bool panel)
{
    const auto bytes = descriptors(panel ? kPanelProduct : kDecoyProduct);
    setAttribute(dev, "idProduct", panel ? "0040" : "0041");
    std::vector<guint8> attribute(bytes.begin(), bytes.end());
    umockdev_testbed_set_attribute_binary(testbed, dev.sysfsPath.c_str(), "descriptors", attribute.data(),
                                          attribute.size());
    if (FILE *f = std::fopen(dev.node.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

// udev tells its listeners, as it does when a cable is pulled. (Adding a
// device tells them by itself.) Both need umockdev's preload in the
// process that holds the testbed, as it resolves the device through
// libudev. On the kernel the device's sysfs entry has gone by the time a
// listener hears of the removal: only the event's own properties are left,
// no attribute says what the device was. Its attributes go first here too
// (the event is built from the entry's uevent file, which stays until the
// entry goes).
void UsbPanel::Impl::removeDevice(Device &dev)
{
    for (const char *name : {"idVendor", "idProduct", "busnum", "devnum", "devpath", "speed", "descriptors",
                             "bConfigurationValue", "bNumConfigurations"})
        unlink((root + dev.sysfsPath + "/" + name).c_str());
    umockdev_testbed_uevent(testbed, dev.sysfsPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, dev.sysfsPath.c_str());
    // The kernel takes the node away as well: a program that lists the
    // bus afterwards must not find it. (One that holds it open keeps
    // failing on it, as on the kernel.)
    unlink(dev.node.c_str());
}

void UsbPanel::Impl::announce(const Device &dev) { umockdev_testbed_uevent(testbed, dev.sysfsPath.c_str(), "add"); }

bool UsbPanel::Impl::build(RamDriver driver, ModelFaults modelFaults, UsbFaults usbFaults, PanelStart start)
{
    testbed = umockdev_testbed_new();
    gchar *rootDir = umockdev_testbed_get_root_dir(testbed);
    root = rootDir;
    g_free(rootDir);
    // libusb-0.1 keeps what it learnt of a device under its node name for
    // the life of the process: every testbed of a process gets a bus of its
    // own, with device numbers from 2 as the kernel gives them. (Bus and
    // device numbers stay below 128, as libusb-1.0 requires: after 127
    // buses the numbers come round again, for hosts in new processes.)
    static std::atomic<int> testbeds{0};
    bus = 1 + testbeds++ % 127;

    // Panel 0 is there even when it is not plugged in (noPanel), holding
    // what it held.
    panels.push_back(std::make_unique<PanelState>(driver, modelFaults, usbFaults, start));
    panels.back()->access = usbFaults;
    if (usbFaults.secondPanel && !usbFaults.noPanel)
        panels.push_back(std::make_unique<PanelState>(driver, modelFaults, TransferFaults{}, start));
    const bool decoy = usbFaults.decoyFirst || usbFaults.noPanel;
    const std::size_t count = (usbFaults.noPanel ? 0 : panels.size()) + (decoy ? 1 : 0);
    for (std::size_t i = 0; i < count; ++i)
        if (addDevice(nullptr, nextPort++, true) == nullptr)
            return false;

    // libusb-0.1 lists a bus's devices in the order its directory reads,
    // which depends on the file system: the decoy goes first in it when
    // asked, then the panels, in their numbers' order. (libusb-1.0 lists
    // them by their sysfs paths instead: with two panels, each library's
    // first may be another node.)
    const std::string busDir = root + "/dev/bus/usb/" + threeDigits(bus);
    if (DIR *dir = opendir(busDir.c_str())) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                order.push_back(threeDigits(bus) + "/" + entry->d_name);
        closedir(dir);
    }
    if (order.size() != devices.size()) {
        error = "cannot list " + busDir;
        return false;
    }
    std::size_t next = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        Device &dev = **std::find_if(devices.begin(), devices.end(), [&](const auto &d) { return d->name == order[i]; });
        if (decoy && i == 0) {
            describeDevice(dev, false);
            continue;
        }
        attach(dev, *panels[next++]);
    }
    return true;
}

} // namespace emu
