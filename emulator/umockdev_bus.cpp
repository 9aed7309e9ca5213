// The bus the umockdev front end presents: device nodes holding their
// descriptors, sysfs records with vendor and product, the roles (panel,
// decoy, second panel) in the order libusb will list them.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>

#include "emulator/usb_panel_impl.h"

namespace emu {

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *dev = static_cast<Device *>(data);
    dev->panel->handle(*dev, client);
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
    std::lock_guard<std::mutex> guard(dev->panel->lock);
    g_object_ref(client);
    ClientState state;
    state.device = dev->name;
    state.readOnly = !ownerMayWrite(dev->node);
    dev->panel->clients.emplace(client, state);
    dev->panel->noteClosedClients();
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

void UsbPanel::Impl::setAttribute(const Device &dev, const char *name, const std::string &value)
{
    // sysfs ends every attribute with a line end.
    umockdev_testbed_set_attribute(testbed, dev.sysfsPath.c_str(), name, (value + "\n").c_str());
}

bool UsbPanel::Impl::build()
{
    GError *err = nullptr;
    testbed = umockdev_testbed_new();
    gchar *rootDir = umockdev_testbed_get_root_dir(testbed);
    root = rootDir;
    g_free(rootDir);

    std::vector<Role> roles;
    if (faults.decoyFirst || faults.noPanel)
        roles.push_back(Role::Decoy);
    if (!faults.noPanel)
        roles.push_back(Role::Panel);
    if (faults.secondPanel && !faults.noPanel)
        roles.push_back(Role::SecondPanel);

    // libusb-0.1 keeps what it learnt of a device under its node name for
    // the life of the process: every testbed of a process gets a bus of its
    // own, with device numbers from 2 as the kernel gives them. (Bus and
    // device numbers stay below 128, as libusb-1.0 requires: after 127
    // buses the numbers come round again, for hosts in new processes.)
    static std::atomic<int> testbeds{0};
    bus = 1 + testbeds++ % 127;
    char busName[8];
    std::snprintf(busName, sizeof busName, "%03d", bus);
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" +
                            std::to_string(bus) + "-";
    for (std::size_t i = 0; i < roles.size(); ++i) {
        auto dev = std::make_unique<Device>();
        dev->panel = this;
        dev->devnum = static_cast<int>(2 + i);
        char name[16];
        std::snprintf(name, sizeof name, "%s/%03d", busName, dev->devnum);
        dev->name = name;
        dev->node = root + "/dev/bus/usb/" + dev->name;
        const std::string record =
            "P: " + usb + std::to_string(i + 1) + "\n" +
            "N: bus/usb/" + dev->name + "=" + upperHex(descriptors(0, 0, 0, 0)) + "\n" +
            "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/" + dev->name +
            "\nE: BUSNUM=" + busName + "\nE: DEVNUM=" + std::string(name + 4) + "\n";
        dev->sysfsPath = "/sys" + usb + std::to_string(i + 1);
        if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
            error = std::string("cannot add device: ") + err->message;
            g_error_free(err);
            return false;
        }
        for (const auto &[attribute, value] :
             {std::pair<const char *, std::string>{"busnum", std::to_string(bus)},
              {"devnum", std::to_string(dev->devnum)},
              {"devpath", std::to_string(i + 1)}, {"bConfigurationValue", "1"}, {"bNumConfigurations", "1"},
              {"speed", "12"}})
            setAttribute(*dev, attribute, value);
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

    // libusb-0.1 lists a bus's devices in the order its directory reads,
    // which depends on the file system; hand out the roles in that order.
    // (libusb-1.0 lists them by their sysfs paths instead: with two
    // panels, each library's first may be another node.)
    const std::string busDir = root + "/dev/bus/usb/" + busName;
    if (DIR *dir = opendir(busDir.c_str())) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                order.push_back(std::string(busName) + "/" + entry->d_name);
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
        // The decoy is of the panel's maker, so that only the product
        // tells it from the panel.
        const bool decoy = roles[i] == Role::Decoy;
        setAttribute(**dev, "idVendor", "15a2");
        setAttribute(**dev, "idProduct", decoy ? "0041" : "0040");
        const auto bytes = descriptors(kPanelVendorLo, kPanelVendorHi, decoy ? kDecoyProductLo : kPanelProductLo,
                                       kPanelProductHi);
        // libusb-1.0 lists a device from these, as the kernel shows them,
        // without opening its node; libusb-0.1 reads them from the node.
        std::vector<guint8> attribute(bytes.begin(), bytes.end());
        umockdev_testbed_set_attribute_binary(testbed, (*dev)->sysfsPath.c_str(), "descriptors", attribute.data(),
                                              attribute.size());
        if (FILE *f = std::fopen((*dev)->node.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        if (roles[i] == Role::Panel) {
            if (faults.noAccess)
                chmod((*dev)->node.c_str(), 0000);
            else if (faults.openRefused || faults.readOnlyNode)
                chmod((*dev)->node.c_str(), 0444);
        }
    }
    kernelDriverBound = faults.kernelDriver;
    return true;
}

} // namespace emu
