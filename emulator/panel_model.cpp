#include "emulator/panel_model.h"

#include <algorithm>

namespace emu {

namespace {
std::string describe(const char *what, std::size_t got)
{
    return std::string(what) + " (" + std::to_string(got) + " bytes)";
}

int pageNumber(const uint8_t *req) { return req[1] << 8 | req[2]; }
} // namespace

PanelModel::PanelModel(RamDriver driver, ModelFaults faults)
    : driver(driver), faults(faults), ramBytes(kRamSize, 0x00),
      serial(kSerialFlashPages * kPage, 0xFF), flash(kPanelFlashPages * kPage, 0xFF)
{
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
    bytes = inQueue.front();
    return true;
}

void PanelModel::inTaken()
{
    if (!inQueue.empty())
        inQueue.pop_front();
}

void PanelModel::frameReceived(const std::vector<uint8_t> &payload)
{
    log.push_back(Frame{true, payload});
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
        std::copy(payload.begin() + 2, payload.end(), ramBytes.begin() + payload[1] * kPage);
        ramPagesWritten.push_back(payload[1]);
        return;
    case 2:
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
        if (static_cast<std::size_t>(page) < kSerialFlashPages)
            std::copy(req + 3, req + n, serial.begin() + page * kPage);
        serialPagesWritten.push_back(page);
    } else if (sub == 2 && n == 3) {
        const std::size_t page = std::min<std::size_t>(pageNumber(req), kSerialFlashPages - 1);
        std::vector<uint8_t> out{0x02};
        out.insert(out.end(), serial.begin() + page * kPage, serial.begin() + (page + 1) * kPage);
        reply(out);
    } else {
        violation(describe("malformed serial flash request", n));
    }
}

// Every panel flash request is answered: its sub-command, then a status
// byte (or the page read). Programming can only clear bits, as on the real
// flash, so a page written without its sector erased shows.
void PanelModel::panelFlashRequest(const uint8_t *req, std::size_t n)
{
    const uint8_t sub = n > 0 ? req[0] : 0xFF;
    if (sub == 0 && n == 1) {
        flashReady = true;
        ++initialises;
        panelReply(sub, {0x01});
    } else if (sub == 1 && n == 3 && req[2] == 0x01) {
        if (!flashReady)
            violation("panel flash erased before initialise");
        if (req[1] < kSectors)
            std::fill_n(flash.begin() + req[1] * kSectorSize, kSectorSize, 0xFF);
        sectorsErased.push_back(req[1]);
        panelReply(sub, {0x01});
    } else if (sub == 2 && n == 3 + kPage) {
        const int page = pageNumber(req);
        if (!flashReady)
            violation("panel flash written before initialise");
        if (static_cast<std::size_t>(page) < kPanelFlashPages)
            for (std::size_t i = 0; i < kPage; ++i)
                flash[page * kPage + i] &= req[3 + i];
        flashPagesWritten.push_back(page);
        panelReply(sub, {0x01});
    } else if (sub == 3 && n == 3) {
        const std::size_t page = std::min<std::size_t>(pageNumber(req), kPanelFlashPages - 1);
        panelReply(sub, std::vector<uint8_t>(flash.begin() + page * kPage,
                                             flash.begin() + (page + 1) * kPage));
    } else {
        violation(describe("malformed panel flash request", n));
    }
}

void PanelModel::panelReply(uint8_t subCommand, std::vector<uint8_t> data)
{
    data.insert(data.begin(), subCommand);
    if (faults.panelReplyLength >= 0)
        data.resize(static_cast<std::size_t>(faults.panelReplyLength), 0xA5);
    if (faults.garbageDriverReplies)
        garble(data);
    reply(std::move(data));
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

void PanelModel::reply(std::vector<uint8_t> payload)
{
    const std::size_t n = payload.size();
    inQueue.push_back({static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)});
    log.push_back(Frame{false, payload});
    inQueue.push_back(std::move(payload));
}

} // namespace emu
