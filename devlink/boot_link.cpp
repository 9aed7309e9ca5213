#include "devlink/boot_link.h"

#include <cerrno>
#include <cstring>
#include <usb.h>

using namespace bootlink;

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
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus *bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (dev->descriptor.idVendor == kVendorId && dev->descriptor.idProduct == kProductId) {
                handle = usb_open(dev);
                return handle != nullptr || fail(Failure::Open, -errno);
            }
        }
    }
    return handle != nullptr || fail(Failure::NoPanel);
}

bool BootLink::configure()
{
    detachKernelDriver();
    const int configured = usb_set_configuration(handle, kConfiguration);
    if (configured != 0)
        return fail(Failure::Configure, configured);
    const int claimed = usb_claim_interface(handle, kInterface);
    return claimed == 0 || fail(Failure::Claim, claimed);
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
bool BootLink::transfer(int endpoint, uint8_t *bytes, int size)
{
    char *buffer = reinterpret_cast<char *>(bytes);
    const int moved = endpoint == kEndpointIn
                          ? usb_bulk_read(handle, endpoint, buffer, size, kTimeoutMs)
                          : usb_bulk_write(handle, endpoint, buffer, size, kTimeoutMs);
    if (moved == size)
        return true;
    return fail(endpoint == kEndpointIn ? Failure::Receive : Failure::Send, moved, size);
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
        return fail(Failure::ReplyTooLong, length);
    return transfer(kEndpointIn, frame, length);
}

bool BootLink::ping()
{
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
        return fail(Failure::NotBootloader, -1);
    return frame[0] == kPingAnswer || fail(Failure::NotBootloader, frame[0]);
}

bool BootLink::writeRamPage(uint8_t page, const uint8_t *data)
{
    frame[0] = kCmdWriteRamPage;
    frame[1] = page;
    std::memcpy(frame + 2, data, kPageSize);
    return sendFrame(2 + kPageSize);
}

bool BootLink::driverCall(const uint8_t *request, uint16_t n, uint8_t *replyDst,
                          uint16_t replyCount)
{
    if (n > kFrameBufferSize - 1 || replyCount > kFrameBufferSize - 1)
        return fail(Failure::RequestTooLong, n > replyCount ? n : replyCount);
    frame[0] = kCmdDriverCall;
    std::memmove(frame + 1, request, n);
    if (!sendFrame(static_cast<uint16_t>(n + 1)))
        return false;
    if (replyCount == 0)
        return true;
    uint16_t length = 0;
    if (!receiveFrame(length))
        return false;
    std::memcpy(replyDst, frame + 1, replyCount);
    return true;
}

bool BootLink::command3()
{
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

bool BootLink::fail(Failure what, int result, int wanted)
{
    failure = what;
    failResult = result;
    failWanted = wanted;
    return false;
}

namespace {

// libusb's negated errno in the words that tell a technician what to do.
std::string describeError(int result)
{
    switch (-result) {
    case EACCES:
    case EPERM:
        return "permission denied: install the udev rule, or run as root";
    case EBADF:  // libusb hands out a handle even when the node would not open
        return "the panel's device node could not be opened: install the udev rule, or run as root";
    case EBUSY:
        return "busy: another program holds the panel";
    case ENODEV:
    case ENOENT:
    case ESHUTDOWN:
        return "the panel was unplugged";
    case ETIMEDOUT:
        return "no answer within 5 s";
    default:
        return std::strerror(-result);
    }
}

// A transfer's outcome: an error, or a count short of what was asked.
std::string describeTransfer(int result, int wanted)
{
    if (result < 0)
        return describeError(result);
    return "the panel stalled or cut the transfer short (" + std::to_string(result) + " of " +
           std::to_string(wanted) + " bytes)";
}

std::string hexByte(int value)
{
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[value >> 4 & 0xF] + kDigits[value & 0xF];
}

} // namespace

std::string BootLink::failureCause() const
{
    switch (failure) {
    case Failure::None:
        return {};
    case Failure::NoPanel:
        return "no USB device 15a2:0040 found: is the panel plugged in and in its bootloader?";
    case Failure::Open:
        return "the panel was found but could not be opened: " + describeError(failResult);
    case Failure::Configure:
        return "could not select the panel's configuration 1: " + describeError(failResult);
    case Failure::Claim:
        return "could not claim the panel's interface 0: " + describeError(failResult);
    case Failure::Send:
        return "sending to the panel failed: " + describeTransfer(failResult, failWanted);
    case Failure::Receive:
        return "receiving from the panel failed: " + describeTransfer(failResult, failWanted);
    case Failure::ReplyTooLong:
        return "the panel announced a " + std::to_string(failResult) +
               "-byte reply; a frame holds at most 265";
    case Failure::NotBootloader:
        if (failResult < 0)
            return "the panel answered the ping with an empty frame, not its bootloader's \"B\"";
        return "the panel answered the ping with " + hexByte(failResult) +
               ", not its bootloader's \"B\"";
    case Failure::RequestTooLong:
        return "a request of " + std::to_string(failResult) + " bytes does not fit a frame";
    }
    return {};
}
