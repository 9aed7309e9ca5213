// Which transfer of a run fails, and how: the faults a panel on any USB
// front end can show (the umockdev usbfs handler, the FunctionFS gadget).
#pragma once

#include <cstddef>

namespace emu {

// What happens to the chosen transfer.
enum class TransferFault {
    None,
    Gone,   // the panel is unplugged: this and every later transfer fail
    Stall,  // the endpoint halts (libusb returns 0 bytes)
    Never,  // the transfer never completes: libusb times out after 5 s
    // IN only. The first packet of the reply (64 bytes) arrives, the rest
    // never does: the host times out holding part of it. A reply of one
    // packet or less never arrives at all.
    Partial,
    // IN only. The panel sends more than the host asked for: a reply
    // frame's header and payload in one packet (the host sees an
    // overflow, and the payload is lost), or a payload one byte longer
    // than its header announced.
    Overflow,
    // The transfer breaks off with an error on the bus (URB status
    // EPROTO, as a host controller reports a bad cable's garbled packets)
    // and the panel stays attached: libusb-compat returns EIO,
    // libusb-0.1.12 0 bytes moved. The kernel's own USB stack shows it
    // only while a device is leaving (below); a real controller also with
    // the panel in place.
    BusError,
    // The panel is unplugged while the transfer is on the bus, and the
    // controller ends it with EPROTO before the kernel notices the
    // disconnect, as the kernel sometimes does (usually it ends it with
    // ESHUTDOWN: Gone). Every later call fails as after Gone.
    GoneWithBusError,
};

// The size of one full-speed bulk packet: a reply cut after its first
// packet leaves the host's transfer waiting for the next.
constexpr std::size_t kFullSpeedPacket = 64;

// The Nth OUT and the Nth IN transfer (counted from 1) to fail.
struct TransferFaults {
    TransferFault outFault = TransferFault::None;
    int outFaultAt = 0;
    TransferFault inFault = TransferFault::None;
    int inFaultAt = 0;
};

// Counts the transfers as a front end serves them and says which fails.
class FaultCounter {
public:
    explicit FaultCounter(const TransferFaults &plan) : plan(plan) {}

    // The fault of the transfer about to be served.
    TransferFault next(bool in)
    {
        const int n = in ? ++ins : ++outs;
        const TransferFault fault = in ? (n == plan.inFaultAt ? plan.inFault : TransferFault::None)
                                       : (n == plan.outFaultAt ? plan.outFault : TransferFault::None);
        return fault;
    }

private:
    TransferFaults plan;
    int outs = 0;
    int ins = 0;
};

// Parses "N[:gone|stall|never|partial|overflow|bus-error|gone-bus-error]"
// as panel_emu and the gadget take it; partial and overflow only for IN
// transfers.
bool parseTransferFault(const char *text, bool in, int &at, TransferFault &kind);

} // namespace emu
