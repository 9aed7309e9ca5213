#include "devlink/boot_link.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <usb.h>

#include "devlink/panel_list.h"

using namespace bootlink;

namespace {

// libusb lists only the device nodes this user may open (libusb-0.1.12),
// so a panel without access looks exactly like no panel. The kernel's own
// list in sysfs tells the two apart.
bool panelOnTheBus(int bus, int device)
{
    for (const PanelPlace &panel : panelsInSysfs())
        if (bus == 0 || (panel.bus == bus && panel.device == device))
            return true;
    return false;
}

// Whether this user may read and write the node, as usbfs requires.
bool mayWriteNode(const std::string &node)
{
    return access(node.c_str(), R_OK | W_OK) == 0;
}

} // namespace

BootLink::~BootLink()
{
    if (handle != nullptr) {
        close();
        handle = nullptr;
    }
}

bool BootLink::open()
{
    return find() && configure();
}

bool BootLink::find()
{
    return findAt(0, 0);
}

bool BootLink::openAt(int bus, int device)
{
    return findAt(bus, device) && configure();
}

bool BootLink::findAt(int busNumber, int deviceNumber)
{
    begin(FailedStep::None);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus *bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (dev->descriptor.idVendor != kVendorId || dev->descriptor.idProduct != kProductId)
                continue;
            // Both libraries name a device's file after its number.
            const int here = std::atoi(bus->dirname), number = std::atoi(dev->filename);
            if (busNumber != 0 && (here != busNumber || number != deviceNumber))
                continue;
            node = deviceNodeOf(here, number);
            // errno is left over from earlier calls unless usb_open
            // sets it.
            errno = 0;
            handle = usb_open(dev);
            if (handle != nullptr)
                return true;
            // libusb-compat lists a panel this user may not open and then
            // fails to open it; libusb-0.1.12 does not list it (below).
            // The technician needs the same advice.
            const int error = errno;
            return fail(error == EACCES || error == EPERM ? FailureKind::NoAccess : FailureKind::Open, -error);
        }
    }
    if (handle != nullptr)
        return true;
    return fail(panelOnTheBus(busNumber, deviceNumber) ? FailureKind::NoAccess : FailureKind::NoPanel);
}

bool BootLink::configure()
{
    begin(FailedStep::None);
    detachKernelDriver();
    const int configured = usb_set_configuration(handle, kConfiguration);
    if (configured != 0)
        return fail(FailureKind::Configure, refusal(configured));
    const int claimed = usb_claim_interface(handle, kInterface);
    return claimed == 0 || fail(FailureKind::Claim, refusal(claimed));
}

// libusb-1.0 has no code for most of the reasons the kernel refuses a
// configuration or a claim (a permission refusal among them), and
// libusb-compat passes them all on as ERANGE. Whether this user may write
// the panel's node tells the one that matters to a technician.
int BootLink::refusal(int result) const
{
    if (result == -ERANGE && !node.empty() && !mayWriteNode(node))
        return -EACCES;
    return result;
}

// A kernel driver bound to the interface makes the configuration and the
// claim fail as busy; usbfs itself is what a claim binds, so it stays.
void BootLink::detachKernelDriver()
{
#if defined(LIBUSB_HAS_GET_DRIVER_NP) && defined(LIBUSB_HAS_DETACH_KERNEL_DRIVER_NP)
    char name[256] = {};
    if (usb_get_driver_np(handle, kInterface, name, sizeof name - 1) == 0 &&
        std::strcmp(name, "usbfs") != 0)
        usb_detach_kernel_driver_np(handle, kInterface);
#endif
}

// The header travels as a transfer of its own, so the panel learns the
// payload length before it has to accept the payload.
bool BootLink::sendFrame(uint16_t length)
{
    uint8_t header[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)};
    return transfer(kEndpointOut, header, 2) && transfer(kEndpointOut, frame, length);
}

// One bulk transfer that must move exactly `size` bytes. libusb reports a
// stalled transfer as 0 bytes moved, not as an error, so only the count
// tells it apart from success.
//
// The two libusb-0.1s tell other things. libusb-0.1.12 reports a stall
// and an unplug alike, as 0 bytes moved, and drops the part of a reply
// that came before a time-out. libusb-compat reports a stall (EPIPE), an
// unplug (ENXIO, or EIO when the cable went during the transfer), an
// overflow, and the part of a reply that came before a time-out as a
// short success: only the time the transfer took tells that one apart.
bool BootLink::transfer(int endpoint, uint8_t *bytes, int size)
{
    char *buffer = reinterpret_cast<char *>(bytes);
    const auto began = std::chrono::steady_clock::now();
    int moved = endpoint == kEndpointIn ? usb_bulk_read(handle, endpoint, buffer, size, kTimeoutMs)
                                        : usb_bulk_write(handle, endpoint, buffer, size, kTimeoutMs);
    if (moved == size)
        return true;
    const auto took = std::chrono::steady_clock::now() - began;
    if (moved == -EIO && panelGone())
        moved = -ENODEV;
    fail(endpoint == kEndpointIn ? FailureKind::Receive : FailureKind::Send, moved, size);
    failed.timedOut = moved > 0 && took >= std::chrono::milliseconds(kTimeoutMs - 50);
    return false;
}

// Whether the panel has left the bus. The kernel refuses every call on a
// device that is gone (ENODEV; ENXIO through libusb-compat), once it has
// noticed, which can take a moment after the transfer broke off. Without
// the Linux-only call, nothing tells.
bool BootLink::panelGone()
{
#if defined(LIBUSB_HAS_GET_DRIVER_NP)
    char name[64] = {};
    for (int waited = 0; waited <= kUnplugNoticedMs; waited += 20) {
        const int result = usb_get_driver_np(handle, kInterface, name, sizeof name - 1);
        if (result == -ENODEV || result == -ENXIO)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
#endif
    return false;
}

// A reply announcing more than the frame buffer holds fails before its
// payload is read, so nothing is ever written past the buffer.
bool BootLink::receiveFrame(uint16_t &length)
{
    uint8_t header[2] = {};
    if (!transfer(kEndpointIn, header, 2))
        return false;
    length = static_cast<uint16_t>(header[0] << 8 | header[1]);
    if (length > kFrameBufferSize)
        return fail(FailureKind::ReplyTooLong, length);
    return transfer(kEndpointIn, frame, length);
}

bool BootLink::ping()
{
    begin(FailedStep::Ping);
    frame[0] = kCmdPing;
    if (!sendFrame(1))
        return false;
    // Kept as it was unless a reply header arrives.
    uint16_t length = lastReply;
    const bool received = receiveFrame(length);
    lastReply = length;
    if (!received)
        return false;
    // An empty reply has no first byte to be "B".
    if (length == 0)
        return fail(FailureKind::NotBootloader, -1);
    return frame[0] == kPingAnswer || fail(FailureKind::NotBootloader, frame[0]);
}

bool BootLink::writeRamPage(uint8_t page, const uint8_t *data)
{
    begin(FailedStep::RamPage, page);
    frame[0] = kCmdWriteRamPage;
    frame[1] = page;
    std::memcpy(frame + 2, data, kPageSize);
    return sendFrame(2 + kPageSize);
}

bool BootLink::driverCall(const uint8_t *request, uint16_t n, uint8_t *replyDst,
                          uint16_t replyCount)
{
    begin(FailedStep::DriverCall);
    lastDriverReply = 0;
    if (n > kFrameBufferSize - 1 || replyCount > kFrameBufferSize - 1)
        return fail(FailureKind::RequestTooLong, n > replyCount ? n : replyCount);
    frame[0] = kCmdDriverCall;
    std::memmove(frame + 1, request, n);
    if (!sendFrame(static_cast<uint16_t>(n + 1)))
        return false;
    if (replyCount == 0)
        return true;
    uint16_t length = 0;
    if (!receiveFrame(length))
        return false;
    lastDriverReply = length;
    std::memcpy(replyDst, frame + 1, replyCount);
    return true;
}

bool BootLink::command3()
{
    begin(FailedStep::None);
    frame[0] = kCmd3;
    return sendFrame(1);
}

bool BootLink::reset()
{
    usb_reset(handle);
    return true;
}

bool BootLink::releaseInterface()
{
    usb_release_interface(handle, kInterface);
    return true;
}

bool BootLink::close()
{
    usb_release_interface(handle, kInterface);
    usb_close(handle);
    return true;
}

bool BootLink::closeIfOpen()
{
    if (handle == nullptr)
        return false;
    close();
    handle = nullptr;
    return true;
}

void BootLink::begin(FailedStep step, int32_t number)
{
    failed = Failure{};
    failed.step = step;
    failed.number = number;
}

bool BootLink::fail(FailureKind kind, int result, int wanted)
{
    failed.kind = kind;
    failed.result = result;
    failed.wanted = wanted;
    return false;
}
