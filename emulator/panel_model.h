// The panel as the host sees it: its bootloader and whichever RAM driver
// runs, with their memories. Pure logic, fed with whole OUT transfers and
// answering with the IN transfers it would send.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "devlink/panel_geometry.h"

namespace emu {

constexpr std::size_t kPage = panel::kPageSize;
// Every page number command 1 can carry; only the first 8 KiB are RAM.
constexpr std::size_t kRamSize = 256 * kPage;

// The emulator cannot run the driver code it is sent, so the test says
// which driver the uploaded pages stand for. Auto recognises the sample
// drivers of our generator by the tag they start with.
enum class RamDriver { None, SerialFlash, PanelFlash, Auto };
constexpr char kSerialDriverTag[] = "SERIAL-FLASH-DRV";
constexpr char kPanelDriverTag[] = "PANEL-FLASH-DRV";
// Behind the tag our sample drivers carry their own size, big-endian, so
// that the panel can tell whether every page of the driver has arrived
// before the driver is called.
constexpr std::size_t kDriverSizeOffset = 16;

// How the bootloader answers a ping.
enum class PingReply { Normal, OtherFirstByte, Empty, Oversized };

struct ModelFaults {
    PingReply ping = PingReply::Normal;
    // When set, replies of the panel flash driver announce (and carry) this
    // many payload bytes instead of their own length.
    int panelReplyLength = -1;
    // When set, the ping's reply announces (and carries) this many bytes:
    // "B" and then filler.
    int pingReplyLength = -1;
    // Replies that keep their length but carry pseudo-random bytes.
    bool garbagePing = false;
    bool garbageDriverReplies = false;
    // A worn cell: a write of this flash (or serial flash) page is answered
    // as done, but its first byte the write changed keeps one bit set.
    int wornFlashPage = -1;
    int wornSerialPage = -1;
    // Not a fault: how long the panel's flash takes. An erase and a page
    // program are answered only after this many milliseconds (0: at once,
    // as in the fast suite; the bench measures with a real panel's pace).
    unsigned eraseMs = 0;
    unsigned programMs = 0;
};

// A plausible pace for a 256 KiB on-chip flash.
constexpr unsigned kRealisticEraseMs = 20;
constexpr unsigned kRealisticProgramMs = 2;

// What the panel holds when the host first reaches it. The bootloader's
// own code always fills flash below 0x4000.
enum class PanelStart {
    Blank,  // firmware range and serial flash erased
    Used,   // an old firmware and an old, loaded language in place
};

// Whole frames as they crossed the link, for tests to compare.
struct Frame {
    bool fromHost = true;
    std::vector<uint8_t> payload;
};

// What the bootloader checks before it starts the firmware: the word at
// 0x4200 of `flash` (all of the panel's flash) equals the sum of the
// firmware range.
bool bootCheckPasses(const std::vector<uint8_t> &flash);

class PanelModel {
public:
    explicit PanelModel(RamDriver driver, ModelFaults faults = {},
                        PanelStart start = PanelStart::Blank);

    // One OUT transfer's bytes. Frames are a 2-byte header transfer and a
    // payload transfer; a complete frame is acted on at once.
    void hostSent(const std::vector<uint8_t> &bytes);
    // How many bytes the next OUT transfer carries: a frame header, or
    // the payload the last header announced.
    std::size_t nextOutLength() const
    {
        return expectedPayload < 0 ? 2 : static_cast<std::size_t>(expectedPayload);
    }
    // The next IN transfer the panel has queued, if any, and when it is
    // ready to be sent (an erase or a program takes time).
    bool nextIn(std::vector<uint8_t> &bytes) const;
    std::chrono::steady_clock::time_point nextInReadyAt() const;
    void inTaken();
    // Until when the panel takes no OUT transfer. A serial flash page
    // write has no reply: its program time shows as the host's next
    // transfer waiting.
    std::chrono::steady_clock::time_point busyUntil() const { return busy; }
    // The host's side was cut (the panel unplugged and plugged in again):
    // a half-received frame and unsent replies are gone.
    void hostGone();

    const std::vector<uint8_t> &ram() const { return ramBytes; }
    const std::vector<uint8_t> &serialFlash() const { return serial; }
    const std::vector<uint8_t> &panelFlash() const { return flash; }
    // The memories as the panel held them before the host came.
    const std::vector<uint8_t> &serialFlashBefore() const { return serialBefore; }
    const std::vector<uint8_t> &panelFlashBefore() const { return flashBefore; }
    bool bootCheckPasses() const { return emu::bootCheckPasses(flash); }
    const std::vector<Frame> &frames() const { return log; }
    // How many whole frames the host has sent.
    std::size_t hostFrameCount() const { return hostFrames; }
    const std::vector<std::string> &violations() const { return problems; }
    // While set, a write or erase request is a violation: the host at the
    // panel now has promised only to read.
    void setReadOnlyHost(bool readOnly) { readOnlyHost = readOnly; }
    void violation(const std::string &what) { problems.push_back(what); }

    // Request history, in order.
    std::vector<int> ramPagesWritten;
    std::vector<int> serialPagesWritten;
    std::vector<int> sectorsErased;
    std::vector<int> flashPagesWritten;
    int pings = 0;
    int initialises = 0;

private:
    void frameReceived(const std::vector<uint8_t> &payload);
    void bootloaderCommand(const std::vector<uint8_t> &payload);
    void serialFlashRequest(const uint8_t *req, std::size_t n);
    void panelFlashRequest(const uint8_t *req, std::size_t n);
    void reply(std::vector<uint8_t> payload, unsigned delayMs = 0);
    void garble(std::vector<uint8_t> &payload);
    RamDriver runningDriver() const;
    bool driverComplete();
    std::vector<uint8_t> pingAnswer() const;
    void panelReply(uint8_t subCommand, std::vector<uint8_t> data, unsigned delayMs = 0);

    RamDriver driver;
    ModelFaults faults;
    std::vector<uint8_t> ramBytes;
    std::vector<uint8_t> serial;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> serialBefore;
    std::vector<uint8_t> flashBefore;
    std::vector<bool> ramPageLoaded;
    bool incompleteDriverCalled = false;
    bool readOnlyHost = false;
    bool serialReady = false;
    bool flashReady = false;
    int expectedPayload = -1;  // -1: the next OUT transfer is a header
    struct Packet {
        std::vector<uint8_t> bytes;
        std::chrono::steady_clock::time_point readyAt;
    };
    std::deque<Packet> inQueue;
    std::chrono::steady_clock::time_point busy{};
    uint32_t garbageState = 0x2545F491;
    std::vector<Frame> log;
    std::size_t hostFrames = 0;
    std::vector<std::string> problems;
};

} // namespace emu
