// The umockdev front end's answers to the host's usbfs calls: the
// configuration, the claim, and every bulk transfer, through the panel
// model, the host rules and the fault plan.
#include "emulator/usb_panel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <thread>

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
    if (request == USBDEVFS_CONNECTINFO && faults.openRefused && dev.role == Role::Panel) {
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
    if (gone && dev.role != Role::Decoy && !(reaping && finished)) {
        if (request == USBDEVFS_RELEASEINTERFACE) {
            clients[client].released = true;
            log(dev, "RELEASE", 0).outcome = "gone";
        } else if (request == USBDEVFS_SUBMITURB) {
            rules.transferAfterUnplug();
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
            // Refused for permission: this user may no longer write the
            // node, as the library can check for itself.
            if (refusal == EPERM)
                chmod(dev.node.c_str(), 0444);
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
    if (!u.in && buffer != nullptr)
        e.bytes.assign(buffer->data, buffer->data + u.length);
    if (replay) {
        answerFromCapture(u, e, client, urbData, buffer);
        return;
    }

    const TransferFault fault = transferFaults.next(u.in);
    // An overflow ends with the bytes that fit, which libusb-0.1 reports
    // as a success: a host may well go on.
    if (fault != TransferFault::None && fault != TransferFault::Overflow)
        rules.transferFailed();
    int status = 0;
    std::vector<uint8_t> received;
    switch (fault) {
    case TransferFault::Gone:
        // Measured on the kernel: the transfer under way when the cable
        // goes ends with an error status, which libusb-0.1 reports as 0
        // bytes moved; only every later call fails with ENODEV.
        gone = true;
        status = -ESHUTDOWN;
        e.outcome = "gone";
        break;
    case TransferFault::Stall:
        status = -EPIPE;
        e.outcome = "stall";
        break;
    case TransferFault::Never:
    case TransferFault::Partial:
        leavePending(u, e, client, urbData, buffer, fault == TransferFault::Partial);
        return;
    case TransferFault::Overflow:
        if (!model.nextIn(received)) {
            leavePending(u, e, client, urbData, buffer, false);
            return;
        }
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
            model.hostSent(e.bytes);
        } else if (!model.nextIn(received)) {
            leavePending(u, e, client, urbData, buffer, false);
            return;
        } else {
            model.inTaken();
            // Reading less than the panel's packet is the host's fault.
            if (received.size() > u.length)
                rules.inTooShort(u.length, received.size());
        }
        break;
    }
    if (u.in && received.size() > u.length) {
        // Measured on the kernel: the host gets what fits, with an
        // overflow status; the rest of the packet is lost.
        received.resize(u.length);
        status = -EOVERFLOW;
        e.outcome = "overflow";
    }
    if (u.in && status != -ESHUTDOWN && status != -EPIPE)
        e.bytes = received;
    const std::size_t taken = status == 0 ? u.length : 0;
    complete(u, client, urbData, buffer, status, u.in ? received.size() : taken, received);
}

// A transfer the panel does not finish: the host gives up on it after its
// time-out and discards it. What it then reaps is written now, as the
// kernel would leave it: unlinked, with the part of the reply that came
// (for a partial one, its first packet, the rest of the reply lost).
void UsbPanel::Impl::leavePending(Urb &u, WireEntry &e, UMockdevIoctlClient *client, UMockdevIoctlData *urbData,
                                  UMockdevIoctlData *buffer, bool partial)
{
    std::vector<uint8_t> first;
    if (partial && u.in && model.nextIn(first)) {
        model.inTaken();
        first.resize(first.size() > kFullSpeedPacket && u.length > kFullSpeedPacket ? kFullSpeedPacket : 0);
        if (!first.empty()) {
            std::memcpy(buffer->data, first.data(), first.size());
            e.bytes = first;
        }
    }
    auto *raw = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    raw->status = -ECONNRESET;
    raw->actual_length = static_cast<int>(first.size());
    e.outcome = "pending";
    urbs.push_back(u);
    succeed(client);
}

// The outcome goes into the host's URB now; the host reads it when it
// reaps the URB.
void UsbPanel::Impl::complete(Urb &u, UMockdevIoctlClient *client, UMockdevIoctlData *urbData,
                              UMockdevIoctlData *buffer, int status, std::size_t actual,
                              const std::vector<uint8_t> &received)
{
    auto *raw = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    raw->status = status;
    raw->actual_length = static_cast<int>(actual);
    if (u.in && !received.empty())
        std::memcpy(buffer->data, received.data(), received.size());
    u.done = true;
    urbs.push_back(u);
    succeed(client);
}

// A replayed capture answers instead of the model: as the panel answered
// the same transfer when the capture was made.
void UsbPanel::Impl::answerFromCapture(Urb &u, WireEntry &e, UMockdevIoctlClient *client,
                                       UMockdevIoctlData *urbData, UMockdevIoctlData *buffer)
{
    ReplayAnswer a = replay->next(u.in, static_cast<uint8_t>(u.endpoint), u.length, e.bytes);
    if (a.refused) {
        e.outcome = "gone";
        refuse(client, ENODEV);
        return;
    }
    if (a.pending) {
        e.outcome = "pending";
        urbs.push_back(u);
        succeed(client);
        return;
    }
    if (a.data.size() > u.length)
        a.data.resize(u.length);
    e.outcome = a.status == 0 ? "ok" : a.status == -EPIPE ? "stall" : "errno " + std::to_string(-a.status);
    if (u.in)
        e.bytes = a.data;
    complete(u, client, urbData, buffer, a.status, u.in ? a.data.size() : std::min(a.actual, u.length),
             a.data);
}

void UsbPanel::Impl::checkTransferAllowed(const Device &dev, UMockdevIoctlClient *client,
                                          const usbdevfs_urb &urb)
{
    const bool in = (urb.endpoint & 0x80) != 0;
    // The second panel answers as the first does: a host that lists it
    // first (libusb-1.0 lists by sysfs path) may take it.
    rules.transferStarted(in, dev.role != Role::Decoy,
                          configuration == 1 && clients[client].claimed,
                          urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == (in ? 0x81 : 0x02));
}

// Hands the host the address of its next finished URB; the URB itself was
// filled in when it was submitted or discarded.
void UsbPanel::Impl::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, bool wait)
{
    auto it = std::find_if(urbs.begin(), urbs.end(),
                           [&](const Urb &u) { return u.owner == client && u.done; });
    if (it == urbs.end()) {
        const bool outstanding = std::any_of(urbs.begin(), urbs.end(), [&](const Urb &u) { return u.owner == client; });
        if (wait)
            refuse(client, EINVAL);  // only reached after a discard, which finishes at once
        else if (outstanding)
            completeLater(client, 1);
        else
            refuse(client, EAGAIN);  // libusb-1.0 reaps until it hears this
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
    // On the kernel a reap that succeeds follows polls that found nothing
    // yet, and a successful call leaves errno as it was: the host is left
    // with EAGAIN, as on a real bus.
    umockdev_ioctl_client_complete(client, 0, EAGAIN);
}

// libusb gives up on a transfer after its time-out and discards it.
void UsbPanel::Impl::discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    const gulong address = readArg<gulong>(arg);
    for (Urb &u : urbs) {
        if (u.owner == client && !u.done && u.address == address) {
            // Its status and what came of it were written when it was
            // left pending.
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

void UsbPanel::replayCapture(std::vector<CapturedTransfer> transfers)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->replay = std::make_unique<CaptureReplay>(std::move(transfers));
}

void UsbPanel::setReadOnlyHost(bool readOnly)
{
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->model.setReadOnlyHost(readOnly);
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
                impl->noteClosedClients();
                bool open = false;
                for (auto &[client, state] : impl->clients)
                    open = open || ((state.claimed || state.released || state.used) && !state.closedSeen);
                if (!open)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::lock_guard<std::mutex> guard(impl->lock);
    for (auto &[client, state] : impl->clients)
        impl->rules.hostEnded(state.claimed && !state.released,
                              hostStillRunning && (state.claimed || state.released || state.used) &&
                                  !state.closedSeen);
}

PanelModel UsbPanel::model() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->model;
}

std::size_t UsbPanel::hostFramesReceived() const
{
    std::lock_guard<std::mutex> guard(impl->lock);
    return impl->model.hostFrameCount();
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
    all.insert(all.end(), impl->rules.violations().begin(), impl->rules.violations().end());
    if (impl->replay) {
        const auto replayed = impl->replay->violations();
        all.insert(all.end(), replayed.begin(), replayed.end());
    }
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
