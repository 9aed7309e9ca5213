// A captured panel played back: each transfer the host makes is compared
// with the next one of the capture, and answered as the capture says the
// panel answered it. Strict about order, direction, endpoint, lengths and
// the bytes sent; lenient about timing, URB ids and addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/capture/usb_capture.h"

namespace emu {

struct ReplayAnswer {
    bool refused = false;       // the kernel refused the submit (ENODEV)
    bool pending = false;       // it never completed in the capture
    int32_t status = 0;         // how it completed
    std::vector<uint8_t> data;  // IN: what came back
    std::size_t actual = 0;     // OUT: the bytes the panel took
};

class CaptureReplay {
public:
    // `transfers`: the panel's bulk transfers, as selectPanel leaves them.
    explicit CaptureReplay(std::vector<CapturedTransfer> transfers);

    ReplayAnswer next(bool in, uint8_t endpoint, std::size_t requested, const std::vector<uint8_t> &sent);

    // The first difference between the host and the capture, and a
    // capture the host did not play to its end.
    std::vector<std::string> violations() const;

private:
    void differ(const CapturedTransfer &t, const std::string &what);

    std::vector<CapturedTransfer> transfers;
    std::size_t position = 0;
    std::size_t extra = 0;
    std::string firstDifference;
};

} // namespace emu
