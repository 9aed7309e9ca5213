// Which transfer of a run fails, and how: the faults a panel on any USB
// front end can show (the umockdev usbfs handler, the FunctionFS gadget).
#pragma once

namespace emu {

// What happens to the chosen transfer.
enum class TransferFault {
    None,
    Gone,   // the panel is unplugged: this and every later transfer fail
    Stall,  // the endpoint halts (libusb returns 0 bytes)
    Never,  // the transfer never completes: libusb times out after 5 s
};

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
        injected = injected || fault != TransferFault::None;
        return fault;
    }
    // Whether a fault has ended a transfer: a host must send nothing more.
    bool faultInjected() const { return injected; }

private:
    TransferFaults plan;
    int outs = 0;
    int ins = 0;
    bool injected = false;
};

// Parses "N[:gone|stall|never]" as panel_emu and the gadget take it.
bool parseTransferFault(const char *text, int &at, TransferFault &kind);

} // namespace emu
