#include "emulator/panel_model.h"

#include <algorithm>

#include "emulator/srec_writer.h"

namespace emu {

namespace {
std::string describe(const char *what, std::size_t got)
{
    return std::string(what) + " (" + std::to_string(got) + " bytes)";
}

int pageNumber(const uint8_t *req) { return req[1] << 8 | req[2]; }

// A cell that no longer programs: the first byte of the page that is not
// erased keeps the lowest bit the write cleared.
void wear(uint8_t *page)
{
    for (std::size_t i = 0; i < kPage; ++i) {
        const uint8_t cleared = static_cast<uint8_t>(~page[i]);
        if (cleared != 0) {
            page[i] |= static_cast<uint8_t>(cleared & (0x100 - cleared));
            return;
        }
    }
}

// Fixed contents, so that a run that disturbs them shows.
constexpr uint32_t kBootloaderSeed = 0xB007;
constexpr uint32_t kOldFirmwareSeed = 0x01DF;
constexpr uint32_t kOldLanguageSeed = 0x01D1;

std::vector<uint8_t> initialFlash(PanelStart start)
{
    std::vector<uint8_t> flash(panel::kFlashSize, 0xFF);
    const auto bootloader = srec::patternBytes(panel::kFirmwareRange.first, kBootloaderSeed);
    std::copy(bootloader.begin(), bootloader.end(), flash.begin());
    if (start == PanelStart::Used) {
        // An old firmware that boots, checksum word and all.
        const auto old = srec::patternBytes(panel::kFirmwareRange.size(), kOldFirmwareSeed);
        uint8_t *firmware = flash.data() + panel::kFirmwareRange.first;
        std::copy(old.begin(), old.end(), firmware);
        const uint32_t sum = panel::firmwareChecksum(firmware);
        for (int i = 0; i < 4; ++i)
            flash[panel::kChecksumAddress + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
    }
    return flash;
}

std::vector<uint8_t> initialSerialFlash(PanelStart start)
{
    if (start == PanelStart::Blank)
        return std::vector<uint8_t>(panel::kSerialFlashPages * kPage, 0xFF);
    auto serial = srec::patternBytes(panel::kSerialFlashPages * kPage, kOldLanguageSeed);
    serial[panel::kLanguageHeaderPage * kPage + panel::kLanguageHeaderMarkByte] = 1;
    return serial;
}
} // namespace

PanelModel::PanelModel(RamDriver driver, ModelFaults faults, PanelStart start)
    : driver(driver), faults(faults), ramBytes(kRamSize, 0x00), serial(initialSerialFlash(start)),
      flash(initialFlash(start)), serialBefore(serial), flashBefore(flash),
      ramPageLoaded(kRamSize / kPage, false)
{
}

bool bootCheckPasses(const std::vector<uint8_t> &flash)
{
    const uint8_t *firmware = flash.data() + panel::kFirmwareRange.first;
    return panel::firmwareChecksum(firmware) ==
           panel::bigEndianWord(flash.data() + panel::kChecksumAddress);
}

void PanelModel::hostSent(const std::vector<uint8_t> &bytes)
{
    if (expectedPayload < 0) {
        if (bytes.size() != 2) {
            violation(describe("frame header transfer is not 2 bytes", bytes.size()));
            return;
        }
        expectedPayload = bytes[0] << 8 | bytes[1];
        return;
    }
    const std::size_t expected = static_cast<std::size_t>(expectedPayload);
    expectedPayload = -1;
    if (bytes.size() != expected) {
        violation(describe("payload length differs from its header", bytes.size()) +
                  ", header said " + std::to_string(expected));
        return;
    }
    frameReceived(bytes);
}

bool PanelModel::nextIn(std::vector<uint8_t> &bytes) const
{
    if (inQueue.empty())
        return false;
    bytes = inQueue.front().bytes;
    return true;
}

std::chrono::steady_clock::time_point PanelModel::nextInReadyAt() const
{
    return inQueue.empty() ? std::chrono::steady_clock::time_point{} : inQueue.front().readyAt;
}

void PanelModel::hostGone()
{
    inQueue.clear();
    expectedPayload = -1;
}

void PanelModel::inTaken()
{
    if (!inQueue.empty())
        inQueue.pop_front();
}

void PanelModel::frameReceived(const std::vector<uint8_t> &payload)
{
    log.push_back(Frame{true, payload});
    ++hostFrames;
    if (payload.empty()) {
        violation("empty frame");
        return;
    }
    bootloaderCommand(payload);
}

void PanelModel::bootloaderCommand(const std::vector<uint8_t> &payload)
{
    switch (payload[0]) {
    case 0:
        ++pings;
        {
            std::vector<uint8_t> answer = pingAnswer();
            if (faults.garbagePing)
                garble(answer);
            reply(std::move(answer));
        }
        return;
    case 1:
        if (payload.size() != 2 + kPage) {
            violation(describe("RAM page command of wrong length", payload.size()));
            return;
        }
        if (payload[1] >= panel::kRamDriverPages)
            violation("RAM page " + std::to_string(payload[1]) + " is past the 8 KiB RAM window");
        std::copy(payload.begin() + 2, payload.end(), ramBytes.begin() + payload[1] * kPage);
        ramPageLoaded[payload[1]] = true;
        ramPagesWritten.push_back(payload[1]);
        return;
    case 2:
        if (!driverComplete() && !incompleteDriverCalled) {
            incompleteDriverCalled = true;
            violation("RAM driver called before all of its pages were uploaded");
        }
        if (runningDriver() == RamDriver::SerialFlash)
            serialFlashRequest(payload.data() + 1, payload.size() - 1);
        else if (runningDriver() == RamDriver::PanelFlash)
            panelFlashRequest(payload.data() + 1, payload.size() - 1);
        return;  // with no driver running nothing answers
    case 3:
        return;
    default:
        violation("unknown bootloader command " + std::to_string(payload[0]));
    }
}

std::vector<uint8_t> PanelModel::pingAnswer() const
{
    if (faults.pingReplyLength >= 0) {
        std::vector<uint8_t> answer(static_cast<std::size_t>(faults.pingReplyLength), 0x5A);
        if (!answer.empty())
            answer[0] = 0x42;
        return answer;
    }
    switch (faults.ping) {
    case PingReply::OtherFirstByte: return {0x62, 0x01};
    case PingReply::Empty: return {};
    case PingReply::Oversized: return std::vector<uint8_t>(266, 0x42);
    case PingReply::Normal: break;
    }
    return {0x42, 0x01};
}

RamDriver PanelModel::runningDriver() const
{
    if (driver != RamDriver::Auto)
        return driver;
    auto tagged = [this](const char *tag) {
        return std::equal(tag, tag + std::char_traits<char>::length(tag), ramBytes.begin());
    };
    if (tagged(kSerialDriverTag))
        return RamDriver::SerialFlash;
    if (tagged(kPanelDriverTag))
        return RamDriver::PanelFlash;
    return RamDriver::None;
}

// A driver we recognise says how long it is; the panel would run garbage
// from any page of it that has not arrived. A driver the test names is
// taken as already running.
bool PanelModel::driverComplete()
{
    if (driver != RamDriver::Auto || runningDriver() == RamDriver::None)
        return true;
    const std::size_t size = ramBytes[kDriverSizeOffset] << 8 | ramBytes[kDriverSizeOffset + 1];
    for (std::size_t page = 0; page * kPage < size; ++page)
        if (!ramPageLoaded[page])
            return false;
    return true;
}

// The serial-flash driver answers only reads.
void PanelModel::serialFlashRequest(const uint8_t *req, std::size_t n)
{
    const uint8_t sub = n > 0 ? req[0] : 0xFF;
    if (sub == 0 && n == 1) {
        serialReady = true;
        ++initialises;
    } else if (sub == 1 && n == 3 + kPage) {
        const int page = pageNumber(req);
        if (!serialReady)
            violation("serial flash written before initialise");
        if (readOnlyHost)
            violation("serial flash page " + std::to_string(page) + " written by a host that only reads");
        if (static_cast<std::size_t>(page) < panel::kSerialFlashPages) {
            std::copy(req + 3, req + n, serial.begin() + page * kPage);
            if (page == faults.wornSerialPage)
                wear(serial.data() + page * kPage);
        }
        serialPagesWritten.push_back(page);
        busy = std::chrono::steady_clock::now() + std::chrono::milliseconds(faults.programMs);
    } else if (sub == 2 && n == 3) {
        const std::size_t page = std::min<std::size_t>(pageNumber(req), panel::kSerialFlashPages - 1);
        std::vector<uint8_t> out{0x02};
        out.insert(out.end(), serial.begin() + page * kPage, serial.begin() + (page + 1) * kPage);
        reply(out);
    } else {
        violation(describe("malformed serial flash request", n));
    }
}

// Every panel flash request is answered: its sub-command, then a status
// byte (or the page read). Programming can only clear bits, as on the real
// flash, so a page written without its sector erased shows. The sectors
// below 0x4000 hold the bootloader: erasing or writing them would leave a
// panel that never starts again, so the panel keeps them and it counts as
// a violation.
void PanelModel::panelFlashRequest(const uint8_t *req, std::size_t n)
{
    const uint8_t sub = n > 0 ? req[0] : 0xFF;
    if (sub == 0 && n == 1) {
        flashReady = true;
        ++initialises;
        panelReply(sub, {0x01});
    } else if (sub == 1 && n == 3 && req[2] == 0x01) {
        const uint32_t sector = req[1];
        if (!flashReady)
            violation("panel flash erased before initialise");
        if (readOnlyHost)
            violation("sector " + std::to_string(sector) + " erased by a host that only reads");
        if (sector < panel::kFirstFirmwareSector)
            violation("erase of sector " + std::to_string(sector) + ", the bootloader's");
        else if (sector < panel::kFlashSectors)
            std::fill_n(flash.begin() + sector * panel::kSectorSize, panel::kSectorSize, 0xFF);
        sectorsErased.push_back(req[1]);
        panelReply(sub, {0x01}, faults.eraseMs);
    } else if (sub == 2 && n == 3 + kPage) {
        const uint32_t page = static_cast<uint32_t>(pageNumber(req));
        if (!flashReady)
            violation("panel flash written before initialise");
        if (readOnlyHost)
            violation("flash page " + std::to_string(page) + " written by a host that only reads");
        if (page < panel::kFirstFirmwarePage)
            violation("write of flash page " + std::to_string(page) + ", the bootloader's");
        else if (page < panel::kFlashPages) {
            for (std::size_t i = 0; i < kPage; ++i)
                flash[page * kPage + i] &= req[3 + i];
            if (static_cast<int>(page) == faults.wornFlashPage)
                wear(flash.data() + page * kPage);
        }
        flashPagesWritten.push_back(page);
        panelReply(sub, {0x01}, faults.programMs);
    } else if (sub == 3 && n == 3) {
        const std::size_t page = std::min<std::size_t>(pageNumber(req), panel::kFlashPages - 1);
        panelReply(sub, std::vector<uint8_t>(flash.begin() + page * kPage,
                                             flash.begin() + (page + 1) * kPage));
    } else {
        violation(describe("malformed panel flash request", n));
    }
}

void PanelModel::panelReply(uint8_t subCommand, std::vector<uint8_t> data, unsigned delayMs)
{
    data.insert(data.begin(), subCommand);
    if (faults.panelReplyLength >= 0)
        data.resize(static_cast<std::size_t>(faults.panelReplyLength), 0xA5);
    if (faults.garbageDriverReplies)
        garble(data);
    reply(std::move(data), delayMs);
}

// A fixed xorshift sequence, so that a failing run repeats exactly.
void PanelModel::garble(std::vector<uint8_t> &payload)
{
    for (auto &b : payload) {
        garbageState ^= garbageState << 13;
        garbageState ^= garbageState >> 17;
        garbageState ^= garbageState << 5;
        b = static_cast<uint8_t>(garbageState);
    }
}

void PanelModel::reply(std::vector<uint8_t> payload, unsigned delayMs)
{
    const auto readyAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    const std::size_t n = payload.size();
    inQueue.push_back(Packet{{static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)}, readyAt});
    log.push_back(Frame{false, payload});
    inQueue.push_back(Packet{std::move(payload), readyAt});
}

} // namespace emu
