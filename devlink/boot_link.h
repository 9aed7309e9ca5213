// The USB link to the panel's bootloader: finds the panel, moves
// length-prefixed frames over its bulk endpoints and offers the
// bootloader's commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devlink/failure.h"
#include "devlink/panel_geometry.h"

struct usb_dev_handle;

namespace bootlink {
constexpr int kVendorId = 0x15A2;
constexpr int kProductId = 0x0040;
constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr int kEndpointOut = 0x02;
constexpr int kEndpointIn = 0x81;
constexpr int kTimeoutMs = 5000;
// How long the kernel may take to notice that a panel which broke off a
// transfer was unplugged.
constexpr int kUnplugNoticedMs = 500;
constexpr uint8_t kPingAnswer = 0x42;  // "B"
constexpr std::size_t kFrameBufferSize = 265;
constexpr std::size_t kPageSize = panel::kPageSize;

// RAM driver requests carry page numbers high byte first.
inline void putPageNumber(uint8_t *at, uint16_t page)
{
    at[0] = static_cast<uint8_t>(page >> 8);
    at[1] = static_cast<uint8_t>(page & 0xFF);
}

enum Command : uint8_t {
    kCmdPing = 0,
    kCmdWriteRamPage = 1,
    kCmdDriverCall = 2,
    kCmd3 = 3,
};
} // namespace bootlink

class BootLink {
public:
    BootLink() = default;
    ~BootLink();
    BootLink(const BootLink &) = delete;
    BootLink &operator=(const BootLink &) = delete;

    // find() then configure().
    bool open();
    // Opens the first device with the panel's vendor and product.
    bool find();
    // The same for the panel at bus `bus`, device `device`, where a host
    // has more than one; then configure().
    bool openAt(int bus, int device);
    // Selects configuration 1 and claims interface 0.
    bool configure();

    // Command 0: sends 0x00, expects a reply frame starting with "B".
    bool ping();
    // Command 1: 0x01, page, 256 bytes into the panel's RAM; no reply.
    bool writeRamPage(uint8_t page, const uint8_t *data);
    // Command 2: 0x02 and n request bytes to the running RAM driver. When
    // replyCount is not 0, reads one reply frame and copies replyCount
    // bytes from its second byte on to replyDst.
    bool driverCall(const uint8_t *request, uint16_t n, uint8_t *replyDst, uint16_t replyCount);
    // Command 3: 0x03; no reply.
    bool command3();

    bool reset();
    bool releaseInterface();
    // Releases interface 0 and closes the device; leaves `handle` set.
    bool close();
    bool closeIfOpen();

    uint16_t lastReplyLength() const { return lastReply; }
    // The payload length of the last driver call's reply; 0 when it read
    // none.
    uint16_t lastDriverReplyLength() const { return lastDriverReply; }

    // Why the last operation failed; cleared when the next one starts.
    const Failure &failure() const { return failed; }

private:
    bool findAt(int bus, int device);  // bus 0: the first listed
    void begin(FailedStep step, int32_t number = 0);
    bool sendFrame(uint16_t length);
    bool receiveFrame(uint16_t &length);
    bool transfer(int endpoint, uint8_t *bytes, int size);
    void detachKernelDriver();
    bool panelGone();
    int refusal(int result) const;
    bool fail(FailureKind kind, int result = 0, int wanted = 0);

    usb_dev_handle *handle = nullptr;
    std::string node;  // the panel's device node, where the system has one
    uint8_t frame[bootlink::kFrameBufferSize] = {};
    uint16_t lastReply = 0;
    uint16_t lastDriverReply = 0;
    Failure failed;
};
