// The umockdev front end's answers to the host's usbfs calls: the
// configuration, the claim, and every bulk transfer, through each panel's
// model, the host rules and the fault plan.
#include "emulator/usb_panel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "emulator/usb_panel_impl.h"

namespace emu {

namespace {

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

// The int an ioctl's argument points to, or -1.
int intArgument(UMockdevIoctlData *arg)
{
    GError *err = nullptr;
    UMockdevIoctlData *v = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &err);
    g_clear_error(&err);
    return v != nullptr ? readArg<int>(v) : -1;
}

void releaseData(Urb &u)
{
    if (u.urbData != nullptr)
        umockdev_ioctl_data_unref(u.urbData);
    if (u.buffer != nullptr)
        umockdev_ioctl_data_unref(u.buffer);
    u.urbData = u.buffer = nullptr;
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

// Claims and URBs belong to one open file; a client whose connection has
// gone is a host that closed the device.
void UsbPanel::Impl::noteClosedClients()
{
    for (auto &[client, state] : clients) {
        if ((state.claimed || state.released || state.used) && !state.closedSeen &&
            !umockdev_ioctl_client_get_connected(client)) {
            state.closedSeen = true;
            wire.push_back(WireEntry{state.device, "CLOSE", 0, 0, {}, "ok"});
        }
    }
}

void UsbPanel::Impl::handle(Device &dev, UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> guard(lock);
    noteClosedClients();
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    GError *err = nullptr;
    ClientState &state = clients[client];
    // Listing asks for the connection and the hub ports (libusb-0.1);
    // opening, for the capabilities (libusb-1.0). Anything more is a host
    // at work.
    if (request != USBDEVFS_CONNECTINFO && request != USBDEVFS_GET_CAPABILITIES && request != USBDEVFS_IOCTL)
        state.used = true;
    if (request == USBDEVFS_CONNECTINFO && dev.panel != nullptr && dev.panel->access.openRefused) {
        // Listing has opened the node and goes on reading it; from now on
        // it cannot be opened at all.
        chmod(dev.node.c_str(), 0000);
    }
    // The kernel refuses every usbfs call on a node opened only for
    // reading.
    if (state.readOnly) {
        refuse(client, EPERM);
        return;
    }

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
        succeed(client);
        return;
    }
    if (request == USBDEVFS_GET_CAPABILITIES) {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
        if (caps == nullptr) {
            g_clear_error(&err);
            refuse(client, EFAULT);
            return;
        }
        // What usbfs offers over a controller without scatter-gather; the
        // mapping of URB buffers into user memory is not emulated.
        const uint32_t offered = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &offered, sizeof offered);
        succeed(client);
        return;
    }
    // After an unplug only the transfer that was under way still
    // completes; every other call fails as the kernel fails it.
    const bool reaping = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
    const bool finished = std::any_of(urbs.begin(), urbs.end(),
                                      [&](const Urb &u) { return u.owner == client && u.done; });
    if (dev.gone && !(reaping && finished)) {
        if (request == USBDEVFS_RELEASEINTERFACE) {
            state.released = true;
            log(dev, "RELEASE", 0).outcome = "gone";
        } else if (request == USBDEVFS_SUBMITURB) {
            if (state.toldGone)
                dev.rules.transferAfterUnplug();
            log(dev, "SUBMIT", 0).outcome = "gone";
        }
        // A reap that finds nothing is the library polling, which the
        // program does not see; every other call fails in its hands.
        if (!reaping)
            state.toldGone = true;
        refuse(client, ENODEV);
        return;
    }

    switch (request) {
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
        if (!answerConfiguration(dev, client, request, arg))
            refuse(client, ENOTTY);  // hub port queries and the like
    }
}

// The configuration, the claim and its release, and a kernel driver
// asked for and detached; false for any other request.
bool UsbPanel::Impl::answerConfiguration(Device &dev, UMockdevIoctlClient *client, gulong request,
                                         UMockdevIoctlData *arg)
{
    GError *err = nullptr;
    ClientState &state = clients[client];
    const UsbFaults access = dev.panel != nullptr ? dev.panel->access : UsbFaults{};
    switch (request) {
    case USBDEVFS_SETCONFIGURATION: {
        const int value = intArgument(arg);
        WireEntry &e = log(dev, "SETCONFIG", value);
        int refusal = access.configErrno;
        if (refusal == 0 && dev.kernelDriverBound)
            refusal = EBUSY;
        if (refusal == 0 && value != 1)
            refusal = EINVAL;
        if (refusal != 0) {
            // Refused for permission: this user may no longer write the
            // node, as the library can check for itself.
            if (refusal == EPERM)
                chmod(dev.node.c_str(), 0444);
            e.outcome = errnoName(refusal);
            refuse(client, refusal);
            return true;
        }
        dev.configuration = value;
        configured = dev.name;
        succeed(client);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        const int value = intArgument(arg);
        WireEntry &e = log(dev, "CLAIM", value);
        int refusal = access.claimErrno;
        if (refusal == 0 && dev.kernelDriverBound)
            refusal = EBUSY;
        if (refusal == 0 && value != 0)
            refusal = EINVAL;
        if (refusal != 0) {
            e.outcome = errnoName(refusal);
            refuse(client, refusal);
            return true;
        }
        state.claimed = true;
        succeed(client);
        return true;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        const int value = intArgument(arg);
        WireEntry &e = log(dev, "RELEASE", value);
        state.released = true;
        if (!state.claimed || value != 0) {
            e.outcome = "EINVAL";
            refuse(client, EINVAL);
            return true;
        }
        state.claimed = false;
        succeed(client);
        return true;
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData *gd = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), &err);
        g_clear_error(&err);
        WireEntry &e = log(dev, "GETDRIVER", gd ? static_cast<int>(readArg<unsigned>(gd)) : -1);
        if (gd == nullptr || !dev.kernelDriverBound) {
            e.outcome = "ENODATA";
            refuse(client, ENODATA);
            return true;
        }
        usbdevfs_getdriver answer{};
        answer.interface = 0;
        std::strcpy(answer.driver, "panel_hid");
        std::memcpy(gd->data, &answer, sizeof answer);
        e.outcome = "panel_hid";
        succeed(client);
        return true;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData *io = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), &err);
        g_clear_error(&err);
        const usbdevfs_ioctl call = io ? readArg<usbdevfs_ioctl>(io) : usbdevfs_ioctl{};
        if (io == nullptr || call.ioctl_code != static_cast<int>(USBDEVFS_DISCONNECT))
            return false;
        WireEntry &e = log(dev, "DETACH", call.ifno);
        if (!dev.kernelDriverBound) {
            e.outcome = "ENODATA";
            refuse(client, ENODATA);
            return true;
        }
        dev.kernelDriverBound = false;
        succeed(client);
        return true;
    }
    default:
        return false;
    }
}

// A transfer is decided when it is submitted: the panel has already queued
// whatever it will send, since the host always writes its frame before it
// reads the reply. An IN transfer with nothing to receive stays pending,
// as a device that never answers would leave it. The host learns the
// outcome when it reaps the URB.
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
    u.device = &dev;
    u.address = urbData->client_addr;
    u.in = (urb.endpoint & 0x80) != 0;
    u.endpoint = urb.endpoint;
    u.length = urb.buffer_length > 0 ? static_cast<std::size_t>(urb.buffer_length) : 0;
    if (u.length > 0) {
        u.buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), u.length, &err);
        if (u.buffer == nullptr) {
            g_clear_error(&err);
            refuse(client, EFAULT);
            return;
        }
        umockdev_ioctl_data_ref(u.buffer);
    }
    u.urbData = umockdev_ioctl_data_ref(urbData);

    WireEntry &e = log(dev, u.in ? "IN" : "OUT", u.endpoint);
    e.requested = u.length;
    u.wireIndex = wire.size() - 1;
    checkTransferAllowed(dev, client, urb);
    if (!u.in && u.buffer != nullptr)
        e.bytes.assign(u.buffer->data, u.buffer->data + u.length);
    if (replay && dev.panel == panels.front().get())
        answerFromCapture(u, e);
    else if (dev.panel == nullptr)
        leavePending(u, e, false);  // nothing answers on the decoy's endpoints
    else
        decide(u, e);
    urbs.push_back(std::move(u));
    succeed(client);
}

// The outcome of a transfer on a panel: its fault, if this is the one that
// fails, or what its model takes or answers.
void UsbPanel::Impl::decide(Urb &u, WireEntry &e)
{
    Device &dev = *u.device;
    PanelModel &model = dev.panel->model;
    const TransferFault fault = dev.panel->transferFaults.next(u.in);
    // An overflow ends with the bytes that fit, which libusb-0.1 reports
    // as a success: a host may well go on.
    if (fault != TransferFault::None && fault != TransferFault::Overflow)
        dev.rules.transferFailed();
    std::vector<uint8_t> received;
    switch (fault) {
    case TransferFault::Gone:
        // Measured on the kernel: the transfer under way when the cable
        // goes ends with an error status, which libusb-0.1 reports as 0
        // bytes moved; only every later call fails with ENODEV.
        dev.gone = true;
        u.status = -ESHUTDOWN;
        e.outcome = "gone";
        break;
    case TransferFault::GoneWithBusError:
        dev.gone = true;
        u.status = -EPROTO;
        e.outcome = "gone";
        break;
    case TransferFault::BusError:
        u.status = -EPROTO;
        e.outcome = "bus error";
        break;
    case TransferFault::Stall:
        u.status = -EPIPE;
        e.outcome = "stall";
        break;
    case TransferFault::Never:
    case TransferFault::Partial:
        leavePending(u, e, fault == TransferFault::Partial);
        return;
    case TransferFault::Overflow:
        if (!model.nextIn(received)) {
            leavePending(u, e, false);
            return;
        }
        u.doneAt = model.nextInReadyAt();
        model.inTaken();
        // A reply header with its payload in the same packet; or a
        // payload with one byte more than its header announced.
        if (std::vector<uint8_t> payload; received.size() == 2 && model.nextIn(payload)) {
            model.inTaken();
            received.insert(received.end(), payload.begin(), payload.end());
        } else {
            received.push_back(0xA5);
        }
        break;
    case TransferFault::None:
        if (!u.in) {
            u.doneAt = model.busyUntil();
            model.hostSent(e.bytes);
        } else if (!model.nextIn(received)) {
            leavePending(u, e, false);
            return;
        } else {
            u.doneAt = model.nextInReadyAt();
            model.inTaken();
            // Reading less than the panel's packet is the host's fault.
            if (received.size() > u.length)
                dev.rules.inTooShort(u.length, received.size());
        }
        break;
    }
    if (u.in && received.size() > u.length) {
        // Measured on the kernel: the host gets what fits, with an
        // overflow status; the rest of the packet is lost.
        received.resize(u.length);
        u.status = -EOVERFLOW;
        e.outcome = "overflow";
    }
    if (u.in) {
        u.data = received;
        u.actual = received.size();
        e.bytes = received;
    } else {
        u.actual = u.status == 0 ? u.length : 0;
    }
    u.done = true;
}

// A transfer the panel does not finish: the host gives up on it after its
// time-out and discards it, and then reaps it as the kernel leaves it:
// unlinked, with the part of the reply that came (for a partial one, its
// first packet, the rest of the reply lost).
void UsbPanel::Impl::leavePending(Urb &u, WireEntry &e, bool partial)
{
    std::vector<uint8_t> first;
    if (partial && u.in && u.device->panel->model.nextIn(first)) {
        u.device->panel->model.inTaken();
        first.resize(first.size() > kFullSpeedPacket && u.length > kFullSpeedPacket ? kFullSpeedPacket : 0);
        e.bytes = first;
    }
    u.status = -ECONNRESET;
    u.actual = first.size();
    u.data = first;
    e.outcome = "pending";
}

// A replayed capture answers instead of the model: as the panel answered
// the same transfer when the capture was made.
void UsbPanel::Impl::answerFromCapture(Urb &u, WireEntry &e)
{
    ReplayAnswer a = replay->next(u.in, static_cast<uint8_t>(u.endpoint), u.length, e.bytes);
    if (a.refused) {
        // The kernel refused the submit: the host's URB never existed.
        e.outcome = "gone";
        u.device->gone = true;
        u.status = -ENODEV;
        u.done = true;
        return;
    }
    if (a.pending) {
        e.outcome = "pending";
        u.status = -ECONNRESET;
        return;
    }
    if (a.data.size() > u.length)
        a.data.resize(u.length);
    e.outcome = a.status == 0 ? "ok" : a.status == -EPIPE ? "stall" : "errno " + std::to_string(-a.status);
    if (u.in)
        e.bytes = a.data;
    u.status = a.status;
    u.actual = u.in ? a.data.size() : std::min<std::size_t>(a.actual, u.length);
    u.data = a.data;
    u.done = true;
}

void UsbPanel::Impl::checkTransferAllowed(Device &dev, UMockdevIoctlClient *client, const usbdevfs_urb &urb)
{
    const bool in = (urb.endpoint & 0x80) != 0;
    dev.rules.transferStarted(in, dev.panel != nullptr, dev.configuration == 1 && clients[client].claimed,
                              urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == (in ? 0x81 : 0x02));
}

// Hands the host its next finished URB, its status, length and data
// written into the host's own URB and buffer.
void UsbPanel::Impl::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool wait)
{
    const auto now = std::chrono::steady_clock::now();
    auto it = std::find_if(urbs.begin(), urbs.end(),
                           [&](const Urb &u) { return u.owner == client && u.done && u.doneAt <= now; });
    if (it == urbs.end()) {
        const bool outstanding =
            std::any_of(urbs.begin(), urbs.end(), [&](const Urb &u) { return u.owner == client; });
        if (wait)
            refuse(client, EINVAL);  // only reached after a discard, which finishes at once
        else if (outstanding)
            completeLater(client, 1);
        else
            refuse(client, EAGAIN);  // libusb-1.0 reaps until it hears this
        return;
    }
    Urb u = std::move(*it);
    urbs.erase(it);
    if (u.status == -ESHUTDOWN || (u.status == -EPROTO && u.device->gone))
        clients[client].toldGone = true;
    GError *err = nullptr;
    UMockdevIoctlData *context = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &err);
    if (context == nullptr) {
        g_clear_error(&err);
        releaseData(u);
        refuse(client, EFAULT);
        return;
    }
    auto *raw = reinterpret_cast<usbdevfs_urb *>(u.urbData->data);
    raw->status = u.status;
    raw->actual_length = static_cast<int>(u.actual);
    if (u.in && !u.data.empty() && u.buffer != nullptr)
        std::memcpy(u.buffer->data, u.data.data(), std::min(u.data.size(), u.length));
    umockdev_ioctl_data_set_ptr(context, 0, u.urbData);
    releaseData(u);
    // On the kernel a reap that succeeds follows polls that found nothing
    // yet, and a successful call leaves errno as it was: the host is left
    // with EAGAIN, as on a real bus.
    umockdev_ioctl_client_complete(client, 0, EAGAIN);
}

// libusb gives up on a transfer after its time-out and discards it.
void UsbPanel::Impl::discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    const gulong address = readArg<gulong>(arg);
    const auto now = std::chrono::steady_clock::now();
    for (Urb &u : urbs) {
        if (u.owner == client && u.done && u.doneAt > now && u.address == address) {
            // Answered, but not yet sent (the panel is still busy): the
            // host never sees the answer.
            u.doneAt = {};
            u.status = -ENOENT;
            u.actual = 0;
            u.data.clear();
            wire[u.wireIndex].outcome = "timeout";
            wire.push_back(WireEntry{wire[u.wireIndex].device, "DISCARD", u.endpoint, 0, {}, "ok"});
            succeed(client);
            return;
        }
        if (u.owner == client && !u.done && u.address == address) {
            // Its status and what came of it were set when it was left
            // pending.
            u.done = true;
            wire[u.wireIndex].outcome = "timeout";
            wire.push_back(WireEntry{wire[u.wireIndex].device, "DISCARD", u.endpoint, 0, {}, "ok"});
            succeed(client);
            return;
        }
    }
    refuse(client, EINVAL);
}

// The cable is pulled: a transfer under way ends as the kernel ends it,
// and every later call fails.
void UsbPanel::Impl::unplugged(Device &dev)
{
    dev.gone = true;
    for (Urb &u : urbs) {
        if (u.device == &dev && (!u.done || u.doneAt > std::chrono::steady_clock::now())) {
            u.done = true;
            u.doneAt = {};
            u.status = -ESHUTDOWN;
            u.actual = 0;
            u.data.clear();
            wire[u.wireIndex].outcome = "gone";
        }
    }
}

UsbPanel::UsbPanel(RamDriver driver, ModelFaults modelFaults, UsbFaults usbFaults, PanelStart start)
    : impl(std::make_unique<Impl>())
{
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->build(driver, modelFaults, usbFaults, start);
}

UsbPanel::~UsbPanel()
{
    if (impl->testbed != nullptr) {
        for (auto &dev : impl->devices)
            umockdev_testbed_detach_ioctl(impl->testbed, ("/dev/bus/usb/" + dev->name).c_str(), nullptr);
        g_object_unref(impl->testbed);
    }
    for (auto &dev : impl->devices)
        if (dev->handler)
            g_object_unref(dev->handler);
    for (auto &[client, state] : impl->clients)
        g_object_unref(client);
    for (Urb &u : impl->urbs)
        releaseData(u);
}

std::size_t UsbPanel::addPanel(const PanelSpec &spec)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->panels.push_back(std::make_unique<PanelState>(spec.driver, spec.model, spec.transfers, spec.start));
    impl->panels.back()->access.noAccess = spec.noAccess;
    Device *dev = impl->addDevice(impl->panels.back().get(), impl->nextPort++, true);
    if (dev != nullptr && spec.unnamedInSysfs)
        for (const char *name : {"idVendor", "idProduct"})
            unlink((impl->root + dev->sysfsPath + "/" + name).c_str());
    return impl->panels.size() - 1;
}

void UsbPanel::unplug(std::size_t panel)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    PanelState &p = *impl->panels.at(panel);
    if (p.device == nullptr)
        return;
    impl->unplugged(*p.device);
    impl->removeDevice(*p.device);
    p.device = nullptr;
}

void UsbPanel::plugIn(std::size_t panel)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    PanelState &p = *impl->panels.at(panel);
    if (p.device == nullptr) {
        // The host starts afresh; the panel keeps what it holds.
        p.model.hostGone();
        impl->addDevice(&p, p.port, true);
    }
}

void UsbPanel::announceAgain()
{
    std::lock_guard<std::mutex> guard(impl->lock);
    for (const auto &p : impl->panels)
        if (p->device != nullptr)
            impl->announce(*p->device);
}

std::size_t UsbPanel::panelCount() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->panels.size();
}

void UsbPanel::replayCapture(std::vector<CapturedTransfer> transfers)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->replay = std::make_unique<CaptureReplay>(std::move(transfers));
}

void UsbPanel::setReadOnlyHost(bool readOnly)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    for (auto &panel : impl->panels)
        panel->model.setReadOnlyHost(readOnly);
}

bool UsbPanel::ready() const { return impl->error.empty() && impl->testbed != nullptr; }
const std::string &UsbPanel::setupError() const { return impl->error; }

void UsbPanel::checkHostEnded(bool hostStillRunning)
{
    auto stillOpen = [](const ClientState &state) {
        return (state.claimed || state.released || state.used) && !state.closedSeen;
    };
    if (hostStillRunning) {
        // Closing reaches the emulator through a socket: give it a moment.
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> guard(impl->lock);
                impl->noteClosedClients();
                if (std::none_of(impl->clients.begin(), impl->clients.end(),
                                 [&](const auto &c) { return stillOpen(c.second); }))
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::lock_guard<std::mutex> guard(impl->lock);
    for (auto &[client, state] : impl->clients)
        impl->endings.hostEnded(state.claimed && !state.released, hostStillRunning && stillOpen(state));
}

PanelModel UsbPanel::model(std::size_t panel) const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->panels.at(panel)->model;
}

std::size_t UsbPanel::hostFramesReceived(std::size_t panel) const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->panels.at(panel)->model.hostFrameCount();
}

std::vector<WireEntry> UsbPanel::wire() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->wire;
}

std::vector<std::string> UsbPanel::violations() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    std::vector<std::string> all;
    auto add = [&all](const std::vector<std::string> &more) { all.insert(all.end(), more.begin(), more.end()); };
    for (const auto &panel : impl->panels)
        add(panel->model.violations());
    for (const auto &dev : impl->devices)
        add(dev->rules.violations());
    add(impl->endings.violations());
    if (impl->replay)
        add(impl->replay->violations());
    return all;
}

std::vector<std::string> UsbPanel::listOrder() const { return impl->order; }

std::string UsbPanel::panelPort(std::size_t panel) const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return std::to_string(impl->bus) + "-" + std::to_string(impl->panels.at(panel)->port);
}

std::string UsbPanel::panelDevice(std::size_t panel) const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    const Device *dev = impl->panels.at(panel)->device;
    return dev != nullptr ? dev->name : "";
}

std::string UsbPanel::configuredDevice() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->configured;
}

} // namespace emu
