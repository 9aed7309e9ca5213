// The bus the umockdev front end presents: device nodes holding their
// descriptors, sysfs records with vendor and product, the roles (panel,
// decoy, second panel) in the order libusb will list them.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <dirent.h>

#include "emulator/usb_panel_impl.h"

namespace emu {

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *dev = static_cast<Device *>(data);
    dev->panel->handle(*dev, client);
    return TRUE;
}

void onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *dev = static_cast<Device *>(data);
    std::lock_guard<std::mutex> guard(dev->panel->lock);
    g_object_ref(client);
    dev->panel->clients.emplace(client, ClientState{});
    dev->panel->noteClosedClients(dev->name);
}

constexpr uint8_t kPanelVendorLo = 0xA2, kPanelVendorHi = 0x15;
constexpr uint8_t kPanelProductLo = 0x40, kPanelProductHi = 0x00;
constexpr uint8_t kDecoyProductLo = 0x41;

// Device descriptor, then configuration 1 with interface 0 and its two bulk
// endpoints, as the node file of a usbfs device holds them.
std::vector<uint8_t> descriptors(uint8_t vendorLo, uint8_t vendorHi, uint8_t productLo,
                                 uint8_t productHi)
{
    return {
        // device
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, vendorLo, vendorHi, productLo, productHi,
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

bool UsbPanel::Impl::build()
{
    GError *err = nullptr;
    testbed = umockdev_testbed_new();
    gchar *rootDir = umockdev_testbed_get_root_dir(testbed);
    root = rootDir;
    g_free(rootDir);

    const bool panelListed = !faults.noPanel && !faults.noAccess;
    std::vector<Role> roles;
    if (faults.decoyFirst || !panelListed)
        roles.push_back(Role::Decoy);
    if (panelListed)
        roles.push_back(Role::Panel);
    if (faults.secondPanel && panelListed)
        roles.push_back(Role::SecondPanel);

    // libusb-0.1 keeps what it learnt of a device under its node name for
    // the life of the process: every panel of a process gets new names.
    static std::atomic<int> nextDevnum{2};
    for (std::size_t i = 0; i < roles.size(); ++i) {
        auto dev = std::make_unique<Device>();
        dev->panel = this;
        dev->devnum = nextDevnum++;
        char name[16];
        std::snprintf(name, sizeof name, "001/%03d", dev->devnum);
        dev->name = name;
        const std::string record =
            "P: /devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(i + 1) + "\n" +
            "N: bus/usb/" + dev->name + "=" + upperHex(descriptors(0, 0, 0, 0)) + "\n" +
            "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/" + dev->name +
            "\nE: BUSNUM=001\nE: DEVNUM=" + std::string(name + 4) +
            "\nA: busnum=1\nA: devnum=" + std::to_string(dev->devnum) +
            "\nA: bConfigurationValue=1\nA: bNumConfigurations=1\nA: speed=12\n";
        dev->sysfsPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(i + 1);
        if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
            error = std::string("cannot add device: ") + err->message;
            g_error_free(err);
            return false;
        }
        dev->handler = umockdev_ioctl_base_new();
        g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(onIoctl), dev.get());
        g_signal_connect(dev->handler, "client-connected", G_CALLBACK(onConnected), dev.get());
        const std::string node = "/dev/bus/usb/" + dev->name;
        if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), dev->handler, &err)) {
            error = std::string("cannot attach to ") + node + ": " + err->message;
            g_error_free(err);
            return false;
        }
        devices.push_back(std::move(dev));
    }

    // libusb lists a bus's devices in the order its directory reads, which
    // depends on the file system; hand out the roles in that order.
    const std::string busDir = root + "/dev/bus/usb/001";
    if (DIR *dir = opendir(busDir.c_str())) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                order.push_back(std::string("001/") + entry->d_name);
        closedir(dir);
    }
    if (order.size() != devices.size()) {
        error = "cannot list " + busDir;
        return false;
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        auto dev = std::find_if(devices.begin(), devices.end(),
                                [&](const auto &d) { return d->name == order[i]; });
        (*dev)->role = roles[i];
        // sysfs lists vendor and product as the kernel does, in hex. The
        // decoy is of the panel's maker, so that only the product tells it
        // from the panel.
        const bool decoy = roles[i] == Role::Decoy;
        umockdev_testbed_set_attribute(testbed, (*dev)->sysfsPath.c_str(), "idVendor", "15a2");
        umockdev_testbed_set_attribute(testbed, (*dev)->sysfsPath.c_str(), "idProduct", decoy ? "0041" : "0040");
        const auto bytes = descriptors(kPanelVendorLo, kPanelVendorHi, decoy ? kDecoyProductLo : kPanelProductLo,
                                       kPanelProductHi);
        const std::string path = root + "/dev/bus/usb/" + order[i];
        if (FILE *f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    kernelDriverBound = faults.kernelDriver;
    return !faults.noAccess || addSysfsOnlyPanel(nextDevnum++);
}

// Only the kernel's record of the panel, without a node for libusb.
bool UsbPanel::Impl::addSysfsOnlyPanel(int devnum)
{
    const std::string record = "P: /devices/pci0000:00/0000:00:14.0/usb1/1-9\n"
                               "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n"
                               "A: busnum=1\nA: devnum=" + std::to_string(devnum) +
                               "\nA: idVendor=15a2\nA: idProduct=0040\n";
    GError *err = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &err))
        return true;
    error = std::string("cannot add the panel's sysfs record: ") + err->message;
    g_error_free(err);
    return false;
}

} // namespace emu
