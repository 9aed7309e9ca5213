#include "emulator/gadget/ffs_panel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <thread>
#include <unistd.h>

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include "emulator/srec_writer.h"

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "FunctionFS descriptors are little-endian; this gadget writes them as such"
#endif

namespace emu {

namespace {

void put16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t> &out, uint32_t v)
{
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

// Interface 0, vendor class, with the panel's bulk OUT 0x02 and bulk IN
// 0x81, in packets of `packet` bytes. OUT comes first: the endpoint files
// follow this order, ep1 OUT and ep2 IN.
void putInterface(std::vector<uint8_t> &out, uint16_t packet)
{
    const uint8_t interface[] = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0xFF, 0, 0, 1};
    out.insert(out.end(), std::begin(interface), std::end(interface));
    for (uint8_t address : {uint8_t{0x02}, uint8_t{0x81}}) {
        out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
        put16(out, packet);
        out.push_back(0);
    }
}

std::vector<uint8_t> descriptors()
{
    std::vector<uint8_t> body;
    put32(body, 3);  // full-speed descriptors
    put32(body, 3);  // high-speed descriptors
    putInterface(body, 64);
    putInterface(body, 512);
    std::vector<uint8_t> out;
    put32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put32(out, static_cast<uint32_t>(12 + body.size()));
    put32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> strings()
{
    static const char kName[] = "Panel bootloader";
    std::vector<uint8_t> out;
    put32(out, FUNCTIONFS_STRINGS_MAGIC);
    put32(out, static_cast<uint32_t>(16 + 2 + sizeof kName));
    put32(out, 1);  // strings
    put32(out, 1);  // languages
    put16(out, 0x0409);
    out.insert(out.end(), kName, kName + sizeof kName);
    return out;
}

bool writeAll(int fd, const std::vector<uint8_t> &bytes)
{
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// An endpoint goes away and comes back whenever the host selects the
// configuration again (usbfs resets it): what was under way is retried,
// after a pause so that a function unbound for good does not spin.
bool retryable(int error)
{
    if (error == ESHUTDOWN || error == EAGAIN)
        usleep(1000);
    return error == EINTR || error == ESHUTDOWN || error == EAGAIN;
}

bool writeFile(const std::string &path, const std::string &text)
{
    return srec::writeText(path, text);
}

std::string countOf(const std::vector<int> &numbers)
{
    std::string text = std::to_string(numbers.size());
    if (!numbers.empty())
        text += " " + std::to_string(numbers.front()) + " " + std::to_string(numbers.back());
    return text;
}

// The clock /proc/uptime shows, which the machine's scripts read too.
double secondsSinceBoot()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

FfsPanel::FfsPanel(const std::string &ffsDir, const std::string &udc, ModelFaults modelFaults,
                   TransferFaults transferFaults, PanelStart start)
    : ffsDir(ffsDir), udc(udc), model(RamDriver::Auto, modelFaults, start), faults(transferFaults)
{
}

FfsPanel::~FfsPanel()
{
    for (int fd : {epIn, epOut, ep0})
        if (fd >= 0)
            close(fd);
}

bool FfsPanel::start(std::string &error)
{
    ep0 = open((ffsDir + "/ep0").c_str(), O_RDWR);
    if (ep0 < 0) {
        error = "cannot open " + ffsDir + "/ep0: " + std::strerror(errno);
        return false;
    }
    if (!writeAll(ep0, descriptors()) || !writeAll(ep0, strings())) {
        error = std::string("the descriptors were refused: ") + std::strerror(errno);
        return false;
    }
    epOut = open((ffsDir + "/ep1").c_str(), O_RDWR);
    epIn = open((ffsDir + "/ep2").c_str(), O_RDWR);
    if (epOut < 0 || epIn < 0) {
        error = "cannot open the endpoints: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

// Nothing on ep0 concerns the panel (the composite layer answers the
// standard requests); events are read so that the function keeps going,
// and a request meant for it is refused with a stall.
void FfsPanel::serveEvents()
{
    usb_functionfs_event events[8];
    for (;;) {
        const ssize_t n = read(ep0, events, sizeof events);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
            if (events[i].type != FUNCTIONFS_SETUP)
                continue;
            uint8_t none = 0;
            if (events[i].u.setup.bRequestType & USB_DIR_IN)
                (void)!write(ep0, &none, 0);
            else
                (void)!read(ep0, &none, 0);
        }
    }
}

void FfsPanel::serveTransfers()
{
    bool stop = false;
    while (!stop) {
        std::vector<uint8_t> in;
        bool ready = false;
        std::size_t outLength = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            ready = model.nextIn(in);
            outLength = model.nextOutLength();
        }
        if (ready)
            serveIn(in, stop);
        else
            serveOut(outLength, stop);
    }
}

// What the panel answers: the host's read of the same length takes it.
void FfsPanel::serveIn(const std::vector<uint8_t> &bytes, bool &stop)
{
    TransferFault fault;
    std::vector<uint8_t> packet = bytes;
    std::chrono::steady_clock::time_point readyAt;
    {
        std::lock_guard<std::mutex> guard(lock);
        fault = faults.next(true);
        readyAt = model.nextInReadyAt();
        model.inTaken();
        if (fault == TransferFault::Overflow) {
            // The header with its payload in one packet, or a payload one
            // byte longer than announced: more than the host's read.
            std::vector<uint8_t> payload;
            if (bytes.size() == 2 && model.nextIn(payload)) {
                model.inTaken();
                packet.insert(packet.end(), payload.begin(), payload.end());
            } else {
                packet.push_back(0xA5);
            }
        }
        // Only a whole first packet keeps the host's transfer waiting for
        // more (at full speed: at high speed it is a short packet).
        if (fault == TransferFault::Partial)
            packet.resize(packet.size() > kFullSpeedPacket ? kFullSpeedPacket : 0);
        if (fault != TransferFault::None) {
            // The host gives up on the whole reply: its payload is never
            // asked for. (After an overflow libusb-0.1 sees the bytes that
            // fit as a success and may well go on.)
            if (fault != TransferFault::Overflow)
                rules.transferFailed();
            std::vector<uint8_t> rest;
            while (model.nextIn(rest))
                model.inTaken();
        }
    }
    if (fault != TransferFault::Overflow && fault != TransferFault::Partial && actOut(fault, epIn, true, stop))
        return;
    // An erase or a page program takes its time before it is answered.
    std::this_thread::sleep_until(readyAt);
    while (!packet.empty()) {
        const ssize_t n = write(epIn, packet.data(), packet.size());
        if (n >= 0 || !retryable(errno) || unplugged)
            return;
    }
}

// What the host sends: exactly the header or the payload it announced, so
// that a payload filling whole packets is not run into the next frame.
void FfsPanel::serveOut(std::size_t length, bool &stop)
{
    TransferFault fault;
    {
        std::lock_guard<std::mutex> guard(lock);
        fault = faults.next(false);
        if (fault != TransferFault::None)
            rules.transferFailed();
    }
    if (actOut(fault, epOut, false, stop))
        return;
    std::chrono::steady_clock::time_point busyUntil;
    {
        std::lock_guard<std::mutex> guard(lock);
        busyUntil = model.busyUntil();
    }
    // Busy programming: the host's next OUT transfer waits.
    std::this_thread::sleep_until(busyUntil);
    std::vector<uint8_t> bytes(length);
    ssize_t n = 0;
    if (length > 0) {
        do
            n = read(epOut, bytes.data(), length);
        while (n < 0 && retryable(errno) && !unplugged);
        if (n < 0) {
            stop = true;
            return;
        }
        bytes.resize(static_cast<std::size_t>(n));
    }
    std::lock_guard<std::mutex> guard(lock);
    rules.transferStarted(false, true, true, true);  // a retry after a fault shows here
    model.hostSent(bytes);
    if (firstFrameAt < 0 && model.hostFrameCount() > 0)
        firstFrameAt = secondsSinceBoot();
}

// Acts out the fault of a transfer on endpoint `fd`; false when it has
// none. No answer: an IN reply is dropped, and nothing more is read after
// an OUT; either way the host's transfer runs into its time-out.
bool FfsPanel::actOut(TransferFault fault, int fd, bool in, bool &stop)
{
    switch (fault) {
    case TransferFault::None:
        return false;
    case TransferFault::Stall:
        halt(fd, in);
        return true;
    case TransferFault::BusError:
        return false;  // refused by panel_gadget: the controller cannot show it
    case TransferFault::Gone:
    case TransferFault::GoneWithBusError:  // the kernel ends the transfer as it will
        unplug();
        if (replugAfterMs < 0) {
            stop = true;
        } else {
            // Plugged in again: the host starts afresh, the panel keeps
            // what it holds.
            usleep(static_cast<useconds_t>(replugAfterMs) * 1000);
            {
                std::lock_guard<std::mutex> guard(lock);
                model.hostGone();
                rules.pluggedInAgain();
            }
            unplugged = false;
            plugIn();
        }
        return true;
    case TransferFault::Never:
        stop = !in;
        return true;
    case TransferFault::Partial:
    case TransferFault::Overflow:
        return false;  // acted out where the reply is written
    }
    return false;
}

// Reading an IN endpoint, or writing an OUT one, halts it: the host sees
// a stall.
bool FfsPanel::halt(int fd, bool in)
{
    uint8_t byte = 0;
    const ssize_t n = in ? read(fd, &byte, 1) : write(fd, &byte, 1);
    return n < 0 && errno == EBADMSG;
}

// As if the cable were pulled: the controller drops off the bus. The host
// sends or reads the next transfer at once: waiting a moment first lets
// that transfer be under way when the cable goes, as on a real bench.
void FfsPanel::unplug()
{
    usleep(100 * 1000);
    unplugged = true;
    writeFile("/sys/class/udc/" + udc + "/soft_connect", "disconnect");
}

// Plugged in again. soft_connect's "connect" cannot do it: the "disconnect"
// stopped the controller, and dummy_hcd starts it again with the gadget's
// callbacks off, so that the host's enumeration fails (EPROTO). Bound to
// its controller afresh, the gadget enumerates as when first plugged in.
void FfsPanel::plugIn()
{
    std::ifstream functionName("/sys/class/udc/" + udc + "/function");
    std::string gadget;
    std::getline(functionName, gadget);
    const std::string bound = "/sys/kernel/config/usb_gadget/" + gadget + "/UDC";
    writeFile(bound, "\n");
    writeFile(bound, udc);
}

bool FfsPanel::writeResults(const std::string &dir)
{
    std::lock_guard<std::mutex> guard(lock);
    auto bytes = [](const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); };
    std::string violations;
    for (const auto &v : model.violations())
        violations += v + "\n";
    for (const auto &v : rules.violations())
        violations += v + "\n";
    const std::string summary = "ram " + countOf(model.ramPagesWritten) + "\nserial " +
                                countOf(model.serialPagesWritten) + "\nsectors " +
                                countOf(model.sectorsErased) + "\nflash " +
                                countOf(model.flashPagesWritten) + "\nboot " +
                                (model.bootCheckPasses() ? "passes" : "fails") + "\n";
    char first[32] = "";
    if (firstFrameAt >= 0)
        std::snprintf(first, sizeof first, "%.3f\n", firstFrameAt);
    return writeFile(dir + "/first-frame", first) && writeFile(dir + "/serial.bin", bytes(model.serialFlash())) &&
           writeFile(dir + "/flash.bin", bytes(model.panelFlash())) &&
           writeFile(dir + "/ram.bin", bytes(model.ram())) &&
           writeFile(dir + "/violations.txt", violations) && writeFile(dir + "/summary.txt", summary);
}

} // namespace emu
