// The decoding of USB capture records, fuzzed: whatever bytes libpcap
// makes of a file, decodeCapture and selectPanel end with transfers or a
// clear error, and never read past a record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <pcap/pcap.h>

#include "emulator/capture/usb_capture.h"

namespace {

void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (file == nullptr)
        return 0;
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_t *capture = pcap_fopen_offline(file, message);
    if (capture == nullptr) {
        std::fclose(file);
        return 0;
    }
    std::vector<emu::CapturedTransfer> transfers;
    std::string error;
    const bool decoded = emu::decodeCapture(capture, transfers, error);
    pcap_close(capture);
    if (!decoded) {
        require(!error.empty(), "a refused capture says why");
        return 0;
    }
    for (const auto &t : transfers) {
        require(t.frame >= 1, "frames count from 1");
        require(t.data.size() < size, "a transfer's data lies inside the file");
        require(t.setup.empty() || t.setup.size() == 8, "a setup packet has 8 bytes");
    }
    std::vector<std::string> notes;
    if (emu::selectPanel(transfers, "", notes, error)) {
        for (const auto &t : transfers)
            require(t.type == 3 && (t.endpoint == 0x02 || t.endpoint == 0x81), "only the panel's bulk endpoints");
    } else {
        require(!error.empty(), "no panel is said");
    }
    return 0;
}
