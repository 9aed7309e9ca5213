// USB captures as Linux records them with usbmon and as Wireshark, tshark
// and dumpcap save them: pcap or pcapng files of link type 220 (usbmon,
// memory-mapped header) or 189 (the older 48-byte header), read and written
// through libpcap. Here they become transfers, and transfers become them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/usb_panel.h"

typedef struct pcap pcap_t;

namespace emu {

// One transfer as a capture holds it: its submit and, when it came, its
// completion.
struct CapturedTransfer {
    uint32_t frame = 0;       // the capture's frame number of the submit, from 1
    uint16_t bus = 0;
    uint8_t device = 0;
    uint8_t endpoint = 0;     // with 0x80 for IN; 0 for control
    uint8_t type = 0;         // 2 control, 3 bulk (usbmon's numbers)
    uint32_t requested = 0;
    std::vector<uint8_t> setup;  // the 8 setup bytes of a control transfer
    std::vector<uint8_t> data;   // OUT: what was sent; IN: what came back
    bool submitFailed = false;   // the kernel refused it at once ('E')
    bool completed = false;
    int32_t status = 0;          // a negated errno, as the kernel reports it
    uint32_t actual = 0;

    bool in() const { return (endpoint & 0x80) != 0; }
};

// Decodes every USB record that libpcap hands out, pairing submits with
// their completions. False, with `error`, for a capture that is not usbmon
// or whose records disagree with their own lengths.
bool decodeCapture(pcap_t *capture, std::vector<CapturedTransfer> &transfers, std::string &error);
// The same, from a file (pcap or pcapng).
bool readCapture(const std::string &path, std::vector<CapturedTransfer> &transfers, std::string &error);

// Keeps only the panel's bulk transfers on 0x02 and 0x81: the device that
// the capture shows answering 15a2:0040 to GET_DESCRIPTOR, else the first
// with bulk traffic on those endpoints, or `device` ("BUS:DEVICE") when
// given. `notes` says what was skipped.
bool selectPanel(std::vector<CapturedTransfer> &transfers, const std::string &device,
                 std::vector<std::string> &notes, std::string &error);

// Writes the session of the wire log as usbmon records (link type 220): a
// submit and a completion for every transfer and the configuration
// request, with the status the kernel would report.
bool writeCapture(const std::string &path, const std::vector<WireEntry> &wire, std::string &error);

} // namespace emu
