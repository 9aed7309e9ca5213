#include "devlink/boot_link.h"

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
                return handle != nullptr;
            }
        }
    }
    return handle != nullptr;
}

bool BootLink::configure()
{
    detachKernelDriver();
    if (usb_set_configuration(handle, kConfiguration) != 0)
        return false;
    return usb_claim_interface(handle, kInterface) == 0;
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
    char header[2] = {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
    if (usb_bulk_write(handle, kEndpointOut, header, 2, kTimeoutMs) != 2)
        return false;
    const int sent = usb_bulk_write(handle, kEndpointOut, reinterpret_cast<char *>(frame), length,
                                    kTimeoutMs);
    return sent >= 0 && sent == length;
}

// A reply announcing more than the frame buffer holds fails before its
// payload is read, so nothing is ever written past the buffer.
bool BootLink::receiveFrame(uint16_t &length)
{
    uint8_t header[2] = {};
    if (usb_bulk_read(handle, kEndpointIn, reinterpret_cast<char *>(header), 2, kTimeoutMs) != 2)
        return false;
    length = static_cast<uint16_t>(header[0] << 8 | header[1]);
    if (length > kFrameBufferSize)
        return false;
    const int got =
        usb_bulk_read(handle, kEndpointIn, reinterpret_cast<char *>(frame), length, kTimeoutMs);
    return got >= 0 && got == length;
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
    // An empty reply has no first byte to be "B".
    return received && length > 0 && frame[0] == kPingAnswer;
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
        return false;
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
