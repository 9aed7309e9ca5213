#include "emulator/capture/usb_capture.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include <pcap/pcap.h>
#include <pcap/usb.h>

namespace emu {

namespace {

// The older link type carries the first 48 bytes of the same header.
constexpr std::size_t kMmappedHeader = sizeof(pcap_usb_header_mmapped);
constexpr std::size_t kPlainHeader = 48;
constexpr uint8_t kBulk = URB_BULK;
constexpr uint8_t kControl = URB_CONTROL;

struct PcapCloser {
    void operator()(pcap_t *p) const { pcap_close(p); }
};
using Capture = std::unique_ptr<pcap_t, PcapCloser>;

std::string recordError(uint32_t frame, const std::string &what)
{
    return "record " + std::to_string(frame) + ": " + what;
}

// One usbmon record into the transfers: a submit starts one, a completion
// or an error finishes the one with the same URB id.
bool decodeRecord(uint32_t frame, const pcap_usb_header_mmapped &h, const uint8_t *data,
                  std::vector<CapturedTransfer> &transfers, std::map<uint64_t, std::size_t> &open,
                  std::string &error)
{
    if (h.transfer_type != kBulk && h.transfer_type != kControl)
        return true;  // interrupt and isochronous traffic is not the panel's
    const bool in = (h.endpoint_number & URB_TRANSFER_IN) != 0;
    if (h.event_type == URB_SUBMIT) {
        CapturedTransfer t;
        t.frame = frame;
        t.bus = h.bus_id;
        t.device = h.device_address;
        t.endpoint = h.endpoint_number;
        t.type = h.transfer_type;
        t.requested = h.urb_len;
        if (h.transfer_type == kControl && h.setup_flag == 0) {
            const auto *setup = reinterpret_cast<const uint8_t *>(&h.s.setup);
            t.setup.assign(setup, setup + 8);
        }
        if (!in)
            t.data.assign(data, data + h.data_len);
        open[h.id] = transfers.size();
        transfers.push_back(std::move(t));
        return true;
    }
    if (h.event_type != URB_COMPLETE && h.event_type != URB_ERROR) {
        error = recordError(frame, "unknown event type " + std::to_string(h.event_type));
        return false;
    }
    const auto submitted = open.find(h.id);
    if (submitted == open.end())
        return true;  // its submit came before the capture began
    CapturedTransfer &t = transfers[submitted->second];
    open.erase(submitted);
    t.completed = h.event_type == URB_COMPLETE;
    t.submitFailed = h.event_type == URB_ERROR;
    t.status = h.status;
    t.actual = h.urb_len;
    if (in)
        t.data.assign(data, data + h.data_len);
    return true;
}

bool hasPanelDescriptor(const CapturedTransfer &t)
{
    // GET_DESCRIPTOR (6) of the device descriptor (type 1), answered; at
    // address 0 the device has not yet been given its own.
    return t.device != 0 && t.type == kControl && t.setup.size() == 8 && t.setup[1] == 6 && t.setup[3] == 1 &&
           t.data.size() >= 12 && t.data[8] == 0xA2 && t.data[9] == 0x15 && t.data[10] == 0x40 &&
           t.data[11] == 0x00;
}

bool panelBulk(const CapturedTransfer &t)
{
    return t.type == kBulk && (t.endpoint == 0x02 || t.endpoint == 0x81);
}

} // namespace

bool decodeCapture(pcap_t *capture, std::vector<CapturedTransfer> &transfers, std::string &error)
{
    const int link = pcap_datalink(capture);
    if (link != DLT_USB_LINUX_MMAPPED && link != DLT_USB_LINUX) {
        error = "not a Linux USB capture (link type " + std::to_string(link) +
                "; usbmon captures are 220 or 189)";
        return false;
    }
    const std::size_t headerSize = link == DLT_USB_LINUX_MMAPPED ? kMmappedHeader : kPlainHeader;
    std::map<uint64_t, std::size_t> open;
    pcap_pkthdr *record = nullptr;
    const u_char *bytes = nullptr;
    uint32_t frame = 0;
    int got = 0;
    while ((got = pcap_next_ex(capture, &record, &bytes)) == 1) {
        ++frame;
        if (record->caplen < headerSize) {
            error = recordError(frame, "shorter than a usbmon header (" + std::to_string(record->caplen) +
                                           " of " + std::to_string(headerSize) + " bytes)");
            return false;
        }
        pcap_usb_header_mmapped h{};
        std::memcpy(&h, bytes, headerSize);
        const std::size_t held = record->caplen - headerSize;
        // Isochronous descriptors sit between the header and the data.
        const std::size_t descriptors = link == DLT_USB_LINUX_MMAPPED ? std::size_t{h.ndesc} * 16 : 0;
        if (h.data_len + descriptors != held) {
            error = recordError(frame, "usbmon says " + std::to_string(h.data_len) +
                                           " data bytes, the record holds " + std::to_string(held));
            return false;
        }
        if (!decodeRecord(frame, h, bytes + headerSize + descriptors, transfers, open, error))
            return false;
    }
    if (got == PCAP_ERROR) {
        error = std::string("the capture is damaged: ") + pcap_geterr(capture);
        return false;
    }
    return true;
}

bool readCapture(const std::string &path, std::vector<CapturedTransfer> &transfers, std::string &error)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    Capture capture(pcap_open_offline(path.c_str(), message));
    if (!capture) {
        error = "cannot read \"" + path + "\": " + message;
        return false;
    }
    return decodeCapture(capture.get(), transfers, error);
}

bool selectPanel(std::vector<CapturedTransfer> &transfers, const std::string &device,
                 std::vector<std::string> &notes, std::string &error)
{
    unsigned bus = 0, address = 0;
    bool found = false;
    if (!device.empty()) {
        found = std::sscanf(device.c_str(), "%u:%u", &bus, &address) == 2;
        if (!found) {
            error = "a device is named BUS:ADDRESS, for example 1:7";
            return false;
        }
    }
    for (const auto &t : transfers) {
        if (!found && hasPanelDescriptor(t)) {
            bus = t.bus, address = t.device, found = true;
            notes.push_back("the panel is device " + std::to_string(bus) + ":" + std::to_string(address) +
                            " (its descriptor says 15a2:0040)");
        }
    }
    for (const auto &t : transfers) {
        if (!found && panelBulk(t)) {
            bus = t.bus, address = t.device, found = true;
            notes.push_back("the panel is taken to be device " + std::to_string(bus) + ":" +
                            std::to_string(address) + ", the first with bulk transfers on 0x02 and 0x81");
        }
    }
    if (!found) {
        error = "the capture holds no panel: no device with bulk transfers on 0x02 and 0x81";
        return false;
    }
    std::vector<CapturedTransfer> panel;
    std::size_t others = 0, control = 0;
    for (auto &t : transfers) {
        if (t.bus != bus || t.device != address)
            ++others;
        else if (!panelBulk(t))
            ++control;
        else
            panel.push_back(std::move(t));
    }
    if (others > 0)
        notes.push_back("skipped " + std::to_string(others) + " transfers of other devices");
    if (control > 0)
        notes.push_back("skipped " + std::to_string(control) + " control transfers of the panel");
    transfers = std::move(panel);
    return true;
}

namespace {

// What the kernel reports for a transfer that ended as the wire log says.
bool statusOf(const std::string &outcome, int32_t &status)
{
    if (outcome == "ok") status = 0;
    else if (outcome == "stall") status = -EPIPE;
    else if (outcome == "gone") status = -ESHUTDOWN;
    else if (outcome == "timeout") status = -ECONNRESET;
    else if (outcome == "overflow") status = -EOVERFLOW;
    else return false;  // still pending when the host ended: no completion
    return true;
}

class Writer {
public:
    explicit Writer(pcap_dumper_t *dumper) : dumper(dumper) {}

    void record(const WireEntry &e, char event, uint8_t type, uint8_t endpoint, int32_t status,
                uint32_t length, const std::vector<uint8_t> &data, const uint8_t *setup)
    {
        pcap_usb_header_mmapped h{};
        h.id = id;
        h.event_type = static_cast<uint8_t>(event);
        h.transfer_type = type;
        h.endpoint_number = endpoint;
        unsigned bus = 0, device = 0;
        std::sscanf(e.device.c_str(), "%u/%u", &bus, &device);
        h.bus_id = static_cast<uint16_t>(bus);
        h.device_address = static_cast<uint8_t>(device);
        h.setup_flag = setup != nullptr ? 0 : '-';
        h.data_flag = !data.empty() ? 0 : (endpoint & 0x80) != 0 ? '<' : '>';
        ++ticks;
        h.ts_sec = ticks / 1000;
        h.ts_usec = static_cast<int32_t>(ticks % 1000 * 1000);
        h.status = status;
        h.urb_len = length;
        h.data_len = static_cast<uint32_t>(data.size());
        if (setup != nullptr)
            std::memcpy(&h.s.setup, setup, 8);
        std::vector<uint8_t> bytes(sizeof h);
        std::memcpy(bytes.data(), &h, sizeof h);
        bytes.insert(bytes.end(), data.begin(), data.end());
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(h.ts_sec);
        header.ts.tv_usec = h.ts_usec;
        header.caplen = header.len = static_cast<bpf_u_int32>(bytes.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, bytes.data());
    }
    void nextUrb() { ++id; }

private:
    pcap_dumper_t *dumper;
    uint64_t id = 0xFFFF8880'00000000;
    int64_t ticks = 0;
};

} // namespace

bool writeCapture(const std::string &path, const std::vector<WireEntry> &wire, std::string &error)
{
    Capture dead(pcap_open_dead(DLT_USB_LINUX_MMAPPED, 65535));
    pcap_dumper_t *dumper = pcap_dump_open(dead.get(), path.c_str());
    if (dumper == nullptr) {
        error = "cannot write \"" + path + "\": " + pcap_geterr(dead.get());
        return false;
    }
    Writer w(dumper);
    static const std::vector<uint8_t> none;
    for (const auto &e : wire) {
        int32_t status = 0;
        w.nextUrb();
        if (e.op == "SETCONFIG" && e.outcome == "ok") {
            // What usbfs sends for it: SET_CONFIGURATION on ep0.
            const uint8_t setup[8] = {0x00, 0x09, static_cast<uint8_t>(e.number), 0, 0, 0, 0, 0};
            w.record(e, URB_SUBMIT, kControl, 0x00, -EINPROGRESS, 0, none, setup);
            w.record(e, URB_COMPLETE, kControl, 0x00, 0, 0, none, nullptr);
        } else if (e.op == "SUBMIT") {
            w.record(e, URB_ERROR, kBulk, 0x02, -ENODEV, 0, none, nullptr);
        } else if (e.op == "OUT") {
            w.record(e, URB_SUBMIT, kBulk, static_cast<uint8_t>(e.number), -EINPROGRESS,
                     static_cast<uint32_t>(e.requested), e.bytes, nullptr);
            if (statusOf(e.outcome, status))
                w.record(e, URB_COMPLETE, kBulk, static_cast<uint8_t>(e.number), status,
                         status == 0 ? static_cast<uint32_t>(e.requested) : 0, none, nullptr);
        } else if (e.op == "IN") {
            w.record(e, URB_SUBMIT, kBulk, static_cast<uint8_t>(e.number), -EINPROGRESS,
                     static_cast<uint32_t>(e.requested), none, nullptr);
            if (statusOf(e.outcome, status))
                w.record(e, URB_COMPLETE, kBulk, static_cast<uint8_t>(e.number), status,
                         static_cast<uint32_t>(e.bytes.size()), e.bytes, nullptr);
        }
    }
    const bool flushed = pcap_dump_flush(dumper) == 0;
    pcap_dump_close(dumper);
    if (!flushed)
        error = "cannot write \"" + path + "\": " + std::strerror(errno);
    return flushed;
}

} // namespace emu
