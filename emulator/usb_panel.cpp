#include "emulator/usb_panel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <map>
#include <mutex>
#include <thread>

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

namespace emu {

namespace {

constexpr uint8_t kPanelVendorLo = 0xA2, kPanelVendorHi = 0x15;
constexpr uint8_t kPanelProductLo = 0x40, kPanelProductHi = 0x00;

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

std::string errnoName(int e)
{
    switch (e) {
    case EBUSY: return "EBUSY";
    case EINVAL: return "EINVAL";
    case EPERM: return "EPERM";
    case EACCES: return "EACCES";
    case ENODEV: return "ENODEV";
    default: return "errno " + std::to_string(e);
    }
}

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

struct ClientState {
    bool claimed = false;
    bool released = false;
    bool closedSeen = false;
};

} // namespace

struct Device {
    UsbPanel::Impl *panel = nullptr;
    std::string name;  // "001/002"
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
    std::vector<std::string> problems;
    int configuration = 0;
    std::string configured;
    bool kernelDriverBound = false;
    bool gone = false;
    bool faultInjected = false;
    int outCount = 0;
    int inCount = 0;

    Impl(RamDriver driver, ModelFaults mf, UsbFaults uf, PanelStart start)
        : model(driver, mf, start), faults(uf)
    {
    }

    bool build();
    bool addSysfsOnlyPanel(int devnum);
    void handle(Device &dev, UMockdevIoctlClient *client);
    void noteClosedClients(const std::string &device);
    void submit(Device &dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool wait);
    void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void checkTransferAllowed(const Device &dev, UMockdevIoctlClient *client, const usbdevfs_urb &urb);
    WireEntry &log(const Device &dev, const char *op, int number);
};

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

// Nothing ready yet: libusb polls without pause, so answering "try again"
// a millisecond late saves most of the CPU a long wait would burn.
gboolean answerTryAgain(gpointer data)
{
    umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient *>(data), -1, EAGAIN);
    return G_SOURCE_REMOVE;
}

void completeLater(UMockdevIoctlClient *client, guint ms)
{
    GSource *source = g_timeout_source_new(ms);
    g_source_set_callback(source, answerTryAgain, g_object_ref(client), g_object_unref);
    g_source_attach(source, g_main_context_get_thread_default());
    g_source_unref(source);
}

void refuse(UMockdevIoctlClient *client, int e) { umockdev_ioctl_client_complete(client, -1, e); }

void succeed(UMockdevIoctlClient *client) { umockdev_ioctl_client_complete(client, 0, 0); }

template <typename T> T readArg(UMockdevIoctlData *data)
{
    T value{};
    std::memcpy(&value, data->data, std::min<std::size_t>(sizeof value, data->data_len));
    return value;
}

} // namespace

std::string WireEntry::text() const
{
    std::string line = device + " " + op + " ";
    if (op == "OUT" || op == "IN" || op == "DISCARD") {
        char endpoint[8];
        std::snprintf(endpoint, sizeof endpoint, "%02X", number & 0xFF);
        line += endpoint;
    } else {
        line += std::to_string(number);
    }
    if (op == "OUT" || op == "IN")
        line += " " + std::to_string(requested);
    line += " " + outcome;
    if (!bytes.empty())
        line += " " + upperHex(bytes);
    return line;
}

WireEntry &UsbPanel::Impl::log(const Device &dev, const char *op, int number)
{
    wire.push_back(WireEntry{dev.name, op, number, 0, {}, "ok"});
    return wire.back();
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
        // sysfs lists vendor and product as the kernel does, in hex.
        const bool decoy = roles[i] == Role::Decoy;
        umockdev_testbed_set_attribute(testbed, (*dev)->sysfsPath.c_str(), "idVendor", decoy ? "1234" : "15a2");
        umockdev_testbed_set_attribute(testbed, (*dev)->sysfsPath.c_str(), "idProduct", decoy ? "5678" : "0040");
        const auto bytes = roles[i] == Role::Decoy
                               ? descriptors(0x34, 0x12, 0x78, 0x56)
                               : descriptors(kPanelVendorLo, kPanelVendorHi, kPanelProductLo,
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

// Claims and URBs belong to one open file; a client whose connection has
// gone is a host that closed the device.
void UsbPanel::Impl::noteClosedClients(const std::string &device)
{
    for (auto &[client, state] : clients) {
        if ((state.claimed || state.released) && !state.closedSeen &&
            !umockdev_ioctl_client_get_connected(client)) {
            state.closedSeen = true;
            wire.push_back(WireEntry{device, "CLOSE", 0, 0, {}, "ok"});
        }
    }
}

void UsbPanel::Impl::handle(Device &dev, UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> guard(lock);
    noteClosedClients(dev.name);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *err = nullptr;

    if (request == USBDEVFS_CONNECTINFO) {
        UMockdevIoctlData *info = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_connectinfo), &err);
        if (info == nullptr) {
            g_clear_error(&err);
            refuse(client, EFAULT);
            return;
        }
        usbdevfs_connectinfo ci{};
        ci.devnum = static_cast<unsigned>(dev.devnum);
        ci.slow = 0;
        std::memcpy(info->data, &ci, sizeof ci);
        if (faults.openRefused && dev.role == Role::Panel) {
            // Listing has opened the node and goes on reading it; any
            // later open fails, as for a user without access to the panel.
            std::remove((root + "/dev/bus/usb/" + dev.name).c_str());
        }
        succeed(client);
        return;
    }
    if (gone && dev.role == Role::Panel) {
        if (request == USBDEVFS_RELEASEINTERFACE) {
            clients[client].released = true;
            log(dev, "RELEASE", 0).outcome = "gone";
        } else if (request == USBDEVFS_SUBMITURB) {
            problems.push_back("transfer after the panel was unplugged");
            log(dev, "SUBMIT", 0).outcome = "gone";
        }
        refuse(client, ENODEV);
        return;
    }

    switch (request) {
    case USBDEVFS_SETCONFIGURATION: {
        UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &err);
        const int value = v ? readArg<int>(v) : -1;
        g_clear_error(&err);
        WireEntry &e = log(dev, "SETCONFIG", value);
        int refusal = faults.configErrno;
        if (refusal == 0 && kernelDriverBound)
            refusal = EBUSY;
        if (refusal == 0 && value != 1)
            refusal = EINVAL;
        if (refusal != 0) {
            e.outcome = errnoName(refusal);
            refuse(client, refusal);
            return;
        }
        configuration = value;
        configured = dev.name;
        succeed(client);
        return;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &err);
        const int value = v ? readArg<int>(v) : -1;
        g_clear_error(&err);
        WireEntry &e = log(dev, "CLAIM", value);
        int refusal = faults.claimErrno;
        if (refusal == 0 && kernelDriverBound)
            refusal = EBUSY;
        if (refusal == 0 && value != 0)
            refusal = EINVAL;
        if (refusal != 0) {
            e.outcome = errnoName(refusal);
            refuse(client, refusal);
            return;
        }
        clients[client].claimed = true;
        succeed(client);
        return;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &err);
        const int value = v ? readArg<int>(v) : -1;
        g_clear_error(&err);
        WireEntry &e = log(dev, "RELEASE", value);
        ClientState &state = clients[client];
        state.released = true;
        if (!state.claimed || value != 0) {
            e.outcome = "EINVAL";
            refuse(client, EINVAL);
            return;
        }
        state.claimed = false;
        succeed(client);
        return;
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData *gd = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), &err);
        g_clear_error(&err);
        WireEntry &e = log(dev, "GETDRIVER", gd ? static_cast<int>(readArg<unsigned>(gd)) : -1);
        if (gd == nullptr || !kernelDriverBound) {
            e.outcome = "ENODATA";
            refuse(client, ENODATA);
            return;
        }
        usbdevfs_getdriver answer{};
        answer.interface = 0;
        std::strcpy(answer.driver, "panel_hid");
        std::memcpy(gd->data, &answer, sizeof answer);
        e.outcome = "panel_hid";
        succeed(client);
        return;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData *io = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), &err);
        g_clear_error(&err);
        const usbdevfs_ioctl call = io ? readArg<usbdevfs_ioctl>(io) : usbdevfs_ioctl{};
        if (io != nullptr && call.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            WireEntry &e = log(dev, "DETACH", call.ifno);
            if (!kernelDriverBound) {
                e.outcome = "ENODATA";
                refuse(client, ENODATA);
                return;
            }
            kernelDriverBound = false;
            succeed(client);
            return;
        }
        refuse(client, ENOTTY);  // hub port queries and the like
        return;
    }
    case USBDEVFS_SUBMITURB:
        submit(dev, client, arg);
        return;
    case USBDEVFS_REAPURBNDELAY:
        reap(client, arg, false);
        return;
    case USBDEVFS_REAPURB:
        reap(client, arg, true);
        return;
    case USBDEVFS_DISCARDURB:
        discard(client, arg);
        return;
    default:
        refuse(client, ENOTTY);
    }
}

// A transfer is decided when it is submitted: the panel has already queued
// whatever it will send, since the host always writes its frame before it
// reads the reply. The outcome is written into the host's URB right away
// (the host reads it only after reaping); an IN transfer with nothing to
// receive stays pending, as a device that never answers would leave it.
void UsbPanel::Impl::submit(Device &dev, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    GError *err = nullptr;
    UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
    if (urbData == nullptr) {
        g_clear_error(&err);
        refuse(client, EFAULT);
        return;
    }
    const usbdevfs_urb urb = readArg<usbdevfs_urb>(urbData);
    Urb u;
    u.owner = client;
    u.address = urbData->client_addr;
    u.in = (urb.endpoint & 0x80) != 0;
    u.endpoint = urb.endpoint;
    u.length = urb.buffer_length > 0 ? static_cast<std::size_t>(urb.buffer_length) : 0;
    UMockdevIoctlData *buffer = nullptr;
    if (u.length > 0) {
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), u.length, &err);
        if (buffer == nullptr) {
            g_clear_error(&err);
            refuse(client, EFAULT);
            return;
        }
    }

    WireEntry &e = log(dev, u.in ? "IN" : "OUT", u.endpoint);
    e.requested = u.length;
    u.wireIndex = wire.size() - 1;
    checkTransferAllowed(dev, client, urb);

    const int n = u.in ? ++inCount : ++outCount;
    const TransferFault fault =
        u.in ? (n == faults.inFaultAt ? faults.inFault : TransferFault::None)
             : (n == faults.outFaultAt ? faults.outFault : TransferFault::None);
    if (fault != TransferFault::None)
        faultInjected = true;
    int status = 0;
    std::vector<uint8_t> received;
    switch (fault) {
    case TransferFault::Gone:
        gone = true;
        e.outcome = "gone";
        refuse(client, ENODEV);
        return;
    case TransferFault::Stall:
        status = -EPIPE;
        e.outcome = "stall";
        break;
    case TransferFault::Never:
        e.outcome = "pending";
        urbs.push_back(u);
        succeed(client);
        return;
    case TransferFault::None:
        if (!u.in) {
            e.bytes.assign(buffer ? buffer->data : nullptr, buffer ? buffer->data + u.length : nullptr);
            model.hostSent(e.bytes);
        } else if (!model.nextIn(received)) {
            e.outcome = "pending";
            urbs.push_back(u);
            succeed(client);
            return;
        } else if (received.size() > u.length) {
            // The panel's packet does not fit: the host sees an overflow.
            problems.push_back("IN transfer of " + std::to_string(u.length) +
                               " bytes shorter than the panel's " + std::to_string(received.size()));
            model.inTaken();
            status = -EOVERFLOW;
            received.clear();
            e.outcome = "overflow";
        } else {
            model.inTaken();
            e.bytes = received;
        }
        break;
    }
    const int actual = u.in ? static_cast<int>(received.size()) : (status == 0 ? static_cast<int>(u.length) : 0);
    auto *raw = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    raw->status = status;
    raw->actual_length = actual;
    if (u.in && actual > 0)
        std::memcpy(buffer->data, received.data(), received.size());
    u.done = true;
    urbs.push_back(u);
    succeed(client);
}

void UsbPanel::Impl::checkTransferAllowed(const Device &dev, UMockdevIoctlClient *client,
                                          const usbdevfs_urb &urb)
{
    const bool in = (urb.endpoint & 0x80) != 0;
    if (faultInjected)
        problems.push_back(std::string(in ? "IN" : "OUT") + " transfer after a failed one: a retry");
    if (dev.role != Role::Panel)
        problems.push_back("bulk transfer to a device that is not the panel");
    else if (configuration != 1 || !clients[client].claimed)
        problems.push_back("bulk transfer before configuration 1 was set and interface 0 claimed");
    if (urb.type != USBDEVFS_URB_TYPE_BULK || urb.endpoint != (in ? 0x81 : 0x02))
        problems.push_back("transfer that is not bulk on endpoint 0x02 or 0x81");
}

// Hands the host the address of its next finished URB; the URB itself was
// filled in when it was submitted or discarded.
void UsbPanel::Impl::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool wait)
{
    auto it = std::find_if(urbs.begin(), urbs.end(),
                           [&](const Urb &u) { return u.owner == client && u.done; });
    if (it == urbs.end()) {
        if (wait)
            refuse(client, EINVAL);  // only reached after a discard, which finishes at once
        else
            completeLater(client, 1);
        return;
    }
    const gulong address = it->address;
    urbs.erase(it);
    GError *err = nullptr;
    UMockdevIoctlData *context = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &err);
    if (context == nullptr) {
        g_clear_error(&err);
        refuse(client, EFAULT);
        return;
    }
    std::memcpy(context->data, &address, sizeof address);
    succeed(client);
}

// libusb gives up on a transfer after its time-out and discards it.
void UsbPanel::Impl::discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    const gulong address = readArg<gulong>(arg);
    for (Urb &u : urbs) {
        if (u.owner == client && !u.done && u.address == address) {
            // libusb reports its own time-out and ignores the URB's status.
            u.done = true;
            wire[u.wireIndex].outcome = "timeout";
            wire.push_back(WireEntry{wire[u.wireIndex].device, "DISCARD", u.endpoint, 0, {}, "ok"});
            succeed(client);
            return;
        }
    }
    refuse(client, EINVAL);
}

UsbPanel::UsbPanel(RamDriver driver, ModelFaults modelFaults, UsbFaults usbFaults, PanelStart start)
    : impl(std::make_unique<Impl>(driver, modelFaults, usbFaults, start))
{
    impl->build();
}

UsbPanel::~UsbPanel()
{
    if (impl->testbed != nullptr) {
        for (auto &dev : impl->devices) {
            const std::string node = "/dev/bus/usb/" + dev->name;
            umockdev_testbed_detach_ioctl(impl->testbed, node.c_str(), nullptr);
        }
        g_object_unref(impl->testbed);
    }
    for (auto &dev : impl->devices)
        if (dev->handler)
            g_object_unref(dev->handler);
    for (auto &[client, state] : impl->clients)
        g_object_unref(client);
}

bool UsbPanel::ready() const { return impl->error.empty() && impl->testbed != nullptr; }
const std::string &UsbPanel::setupError() const { return impl->error; }

void UsbPanel::checkHostEnded(bool hostStillRunning)
{
    if (hostStillRunning) {
        // Closing reaches the emulator through a socket: give it a moment.
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> guard(impl->lock);
                impl->noteClosedClients(impl->configured);
                bool open = false;
                for (auto &[client, state] : impl->clients)
                    open = open || ((state.claimed || state.released) && !state.closedSeen);
                if (!open)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::lock_guard<std::mutex> guard(impl->lock);
    for (auto &[client, state] : impl->clients) {
        if (state.claimed && !state.released)
            impl->problems.push_back("interface 0 was not released");
        if (hostStillRunning && (state.claimed || state.released) && !state.closedSeen)
            impl->problems.push_back("the device was not closed");
    }
}

PanelModel UsbPanel::model() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->model;
}

std::vector<WireEntry> UsbPanel::wire() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->wire;
}

std::vector<std::string> UsbPanel::violations() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    std::vector<std::string> all = impl->model.violations();
    all.insert(all.end(), impl->problems.begin(), impl->problems.end());
    return all;
}

std::vector<std::string> UsbPanel::listOrder() const { return impl->order; }

std::string UsbPanel::panelDevice() const
{
    for (auto &dev : impl->devices)
        if (dev->role == Role::Panel)
            return dev->name;
    return "";
}

std::string UsbPanel::configuredDevice() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->configured;
}

} // namespace emu
