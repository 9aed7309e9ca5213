// BootLink and RAM driver loading against the emulated panel, through the
// real libusb-0.1 in this very process (the umockdev preload is linked in).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <usb.h>

#include "devlink/boot_link.h"
#include "devlink/ram_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

// This process is the host: it meets the panel's node modes as a
// technician's account would, also when the tests run as root.
const bool kAsATechnician = (emu::withoutPermissionOverride(), true);

// The first panel the USB library in this process lists: libusb-0.1.12
// lists a bus's nodes in the order its directory reads, libusb-compat by
// their sysfs paths.
std::string firstPanelListed()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus *bus = usb_get_busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next)
            if (dev->descriptor.idVendor == 0x15A2 && dev->descriptor.idProduct == 0x0040)
                return std::string(bus->dirname) + "/" + dev->filename;
    return "";
}

std::vector<emu::WireEntry> ofKind(const emu::UsbPanel &panel, const std::string &op)
{
    std::vector<emu::WireEntry> out;
    for (const auto &e : panel.wire())
        if (e.op == op)
            out.push_back(e);
    return out;
}

std::vector<std::size_t> inLengths(const emu::UsbPanel &panel)
{
    std::vector<std::size_t> out;
    for (const auto &e : ofKind(panel, "IN"))
        out.push_back(e.requested);
    return out;
}

template <typename F> emu::UsbFaults usb(F set)
{
    emu::UsbFaults f;
    set(f);
    return f;
}

emu::ModelFaults ping(emu::PingReply reply)
{
    emu::ModelFaults f;
    f.ping = reply;
    return f;
}

emu::ModelFaults replyLength(int n)
{
    emu::ModelFaults f;
    f.panelReplyLength = n;
    return f;
}

// Runs `body` with a link to a fresh panel, then checks that the host ended
// as it must: interface released, device closed, no protocol violation.
template <typename Body>
std::unique_ptr<emu::UsbPanel> withPanel(emu::RamDriver driver, emu::ModelFaults mf, emu::UsbFaults uf,
                                         Body body)
{
    auto panel = std::make_unique<emu::UsbPanel>(driver, mf, uf);
    EXPECT_TRUE(panel->ready()) << panel->setupError();
    {
        BootLink link;
        body(link, *panel);
    }
    panel->checkHostEnded(true);
    return panel;
}

void expectClean(const emu::UsbPanel &panel)
{
    const auto v = panel.violations();
    EXPECT_TRUE(v.empty()) << v.front();
}

} // namespace

TEST(LinkOpen, NoPanelConnected)
{
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.noPanel = true; }),
                           [](BootLink &link, emu::UsbPanel &) { EXPECT_FALSE(link.open()); });
    EXPECT_TRUE(ofKind(*panel, "SETCONFIG").empty());
}

TEST(LinkOpen, SkipsADeviceOfAnotherVendorListedFirst)
{
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.decoyFirst = true; }),
                           [](BootLink &link, emu::UsbPanel &) { EXPECT_TRUE(link.open()); });
    ASSERT_EQ(panel->listOrder().size(), 2u);
    EXPECT_NE(panel->listOrder()[0], panel->panelDevice());
    EXPECT_EQ(panel->configuredDevice(), panel->panelDevice());
    expectClean(*panel);
}

TEST(LinkOpen, TakesTheFirstOfTwoPanels)
{
    std::string first;
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.decoyFirst = f.secondPanel = true; }),
                           [&](BootLink &link, emu::UsbPanel &) {
                               EXPECT_TRUE(link.open());
                               first = firstPanelListed();
                           });
    ASSERT_EQ(panel->listOrder().size(), 3u);
    EXPECT_NE(first, "");
    EXPECT_EQ(panel->configuredDevice(), first);
    expectClean(*panel);
}

TEST(LinkOpen, PanelThatCannotBeOpened)
{
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.openRefused = true; }),
                           [](BootLink &link, emu::UsbPanel &) { EXPECT_FALSE(link.open()); });
    EXPECT_TRUE(panel->wire().empty());
}

TEST(LinkOpen, RefusedConfigurationIsNotFollowedByAClaimAndTheHandleIsClosed)
{
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.configErrno = EBUSY; }),
                           [](BootLink &link, emu::UsbPanel &) { EXPECT_FALSE(link.open()); });
    ASSERT_EQ(ofKind(*panel, "SETCONFIG").size(), 1u);
    EXPECT_EQ(ofKind(*panel, "SETCONFIG")[0].outcome, "EBUSY");
    EXPECT_TRUE(ofKind(*panel, "CLAIM").empty());
    EXPECT_EQ(ofKind(*panel, "CLOSE").size(), 1u);
}

TEST(LinkOpen, RefusedClaim)
{
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.claimErrno = EBUSY; }),
                           [](BootLink &link, emu::UsbPanel &) { EXPECT_FALSE(link.open()); });
    EXPECT_EQ(ofKind(*panel, "CLAIM").at(0).outcome, "EBUSY");
}

// With a kernel driver bound, configuration and claim fail as busy until it
// is detached.
TEST(LinkOpen, DetachesAKernelDriverBeforeConfiguring)
{
    auto panel = withPanel(emu::RamDriver::None, {}, usb([](emu::UsbFaults &f) { f.kernelDriver = true; }),
                           [](BootLink &link, emu::UsbPanel &) {
                               EXPECT_TRUE(link.open());
                               EXPECT_TRUE(link.ping());
                           });
    // The driver is asked for, then detached (libusb-compat asks again on
    // the way), before the configuration and the claim.
    std::vector<std::string> ops;
    for (const auto &e : panel->wire())
        ops.push_back(e.op);
    auto at = [&ops](const char *op) { return std::find(ops.begin(), ops.end(), op) - ops.begin(); };
    EXPECT_EQ(at("GETDRIVER"), 0);
    EXPECT_LT(at("DETACH"), at("SETCONFIG"));
    EXPECT_LT(at("SETCONFIG"), at("CLAIM"));
    EXPECT_LT(at("CLAIM"), static_cast<long>(ops.size()));
    expectClean(*panel);
}

TEST(LinkPing, AnsweredWithB)
{
    auto panel = withPanel(emu::RamDriver::None, {}, {}, [](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        EXPECT_TRUE(link.ping());
        EXPECT_EQ(link.lastReplyLength(), 2);
    });
    const auto out = ofKind(*panel, "OUT");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, (Bytes{0x00, 0x01}));
    EXPECT_EQ(out[1].bytes, (Bytes{0x00}));
    EXPECT_EQ(inLengths(*panel), (std::vector<std::size_t>{2, 2}));
    expectClean(*panel);
}

TEST(LinkPing, ReplyNotStartingWithBFails)
{
    auto panel = withPanel(emu::RamDriver::None, ping(emu::PingReply::OtherFirstByte), {},
                           [](BootLink &link, emu::UsbPanel &) {
                               ASSERT_TRUE(link.open());
                               EXPECT_FALSE(link.ping());
                           });
    expectClean(*panel);
}

TEST(LinkPing, EmptyReplyFailsAfterItsEmptyPayloadRead)
{
    auto panel = withPanel(emu::RamDriver::None, ping(emu::PingReply::Empty), {},
                           [](BootLink &link, emu::UsbPanel &) {
                               ASSERT_TRUE(link.open());
                               EXPECT_FALSE(link.ping());
                               EXPECT_EQ(link.lastReplyLength(), 0);
                           });
    EXPECT_EQ(inLengths(*panel), (std::vector<std::size_t>{2, 0}));
    expectClean(*panel);
}

// 266 bytes would run past the 265-byte frame buffer: the payload is not
// even read.
TEST(LinkPing, ReplyLongerThanTheFrameBufferFailsUnread)
{
    auto panel = withPanel(emu::RamDriver::None, ping(emu::PingReply::Oversized), {},
                           [](BootLink &link, emu::UsbPanel &) {
                               ASSERT_TRUE(link.open());
                               EXPECT_FALSE(link.ping());
                               EXPECT_EQ(link.lastReplyLength(), 266);
                           });
    EXPECT_EQ(inLengths(*panel), (std::vector<std::size_t>{2}));
}

TEST(LinkPing, PanelUnpluggedDuringTheSend)
{
    emu::UsbFaults gone;
    gone.outFault = emu::TransferFault::Gone;
    gone.outFaultAt = 1;
    auto panel = withPanel(emu::RamDriver::None, {}, gone, [](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        EXPECT_FALSE(link.ping());
    });
    EXPECT_TRUE(ofKind(*panel, "IN").empty());
    EXPECT_EQ(ofKind(*panel, "OUT").size(), 1u);
    expectClean(*panel);
}

TEST(LinkPing, StalledReplyHeader)
{
    emu::UsbFaults stall;
    stall.inFault = emu::TransferFault::Stall;
    stall.inFaultAt = 1;
    auto panel = withPanel(emu::RamDriver::None, {}, stall, [](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        EXPECT_FALSE(link.ping());
    });
    EXPECT_EQ(inLengths(*panel), (std::vector<std::size_t>{2}));
    expectClean(*panel);
}

TEST(LinkFrames, RamPageTravelsAsHeaderThenCommandPageAndData)
{
    const Bytes data = srec::patternBytes(256, 3);
    auto panel = withPanel(emu::RamDriver::None, {}, {}, [&](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        EXPECT_TRUE(link.writeRamPage(3, data.data()));
    });
    const auto out = ofKind(*panel, "OUT");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, (Bytes{0x01, 0x02}));
    EXPECT_EQ(out[1].bytes, cat({0x01, 0x03}, data));
    EXPECT_TRUE(ofKind(*panel, "IN").empty());
    EXPECT_EQ(page(panel->model().ram(), 3), data);
    expectClean(*panel);
}

TEST(LinkFrames, DriverCallReadingAPageGetsReplyBytesFromTheSecondOn)
{
    const Bytes data = srec::patternBytes(256, 4);
    Bytes reply(256);
    auto panel = withPanel(emu::RamDriver::SerialFlash, {}, {}, [&](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        const uint8_t init[] = {0x00};
        ASSERT_TRUE(link.driverCall(init, 1, nullptr, 0));
        const Bytes write = cat({0x01, 0x00, 0x20}, data);
        ASSERT_TRUE(link.driverCall(write.data(), 259, nullptr, 0));
        const uint8_t read[] = {0x02, 0x00, 0x20};
        EXPECT_TRUE(link.driverCall(read, 3, reply.data(), 256));
    });
    EXPECT_EQ(reply, data);
    const auto out = ofKind(*panel, "OUT");
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[4].bytes, (Bytes{0x00, 0x04}));
    EXPECT_EQ(out[5].bytes, (Bytes{0x02, 0x02, 0x00, 0x20}));
    // Only the read is answered: nothing is read for the first two calls.
    EXPECT_EQ(inLengths(*panel), (std::vector<std::size_t>{2, 257}));
    expectClean(*panel);
}

// The reply's length is not checked against what the caller wants: a
// one-byte reply leaves the request's own first byte to be copied. The
// reply byte is garbage here, so that it cannot pass for the request's.
TEST(LinkFrames, ShortReplyLeavesTheRequestByteInPlace)
{
    emu::ModelFaults mf = replyLength(1);
    mf.garbageDriverReplies = true;
    uint8_t got = 0;
    auto panel = withPanel(emu::RamDriver::PanelFlash, mf, {}, [&](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        const uint8_t init[] = {0x00};
        ASSERT_TRUE(link.driverCall(init, 1, &got, 1));
        const uint8_t erase[] = {0x01, 0x08, 0x01};
        EXPECT_TRUE(link.driverCall(erase, 3, &got, 1));
    });
    const auto in = ofKind(*panel, "IN");
    ASSERT_EQ(in.size(), 4u);
    ASSERT_EQ(in[3].bytes.size(), 1u);
    EXPECT_NE(in[3].bytes[0], 0x01) << "the reply byte must differ from the request's";
    EXPECT_EQ(got, 0x01);
    expectClean(*panel);
}

// 264 request bytes and the command byte fill the 265-byte frame buffer;
// one more would run past it, so nothing is sent at all.
TEST(LinkFrames, RequestsFillTheFrameBufferAndNoMore)
{
    const Bytes request = srec::patternBytes(265, 8);
    Bytes reply(265);
    auto panel = withPanel(emu::RamDriver::None, {}, {}, [&](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        EXPECT_TRUE(link.driverCall(request.data(), 264, nullptr, 0));
        EXPECT_FALSE(link.driverCall(request.data(), 265, nullptr, 0));
        EXPECT_EQ(link.failure().kind, FailureKind::RequestTooLong);
        EXPECT_FALSE(link.driverCall(request.data(), 3, reply.data(), 265));
    });
    const auto out = ofKind(*panel, "OUT");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, (Bytes{0x01, 0x09}));
    EXPECT_EQ(out[1].bytes, cat({0x02}, Bytes(request.begin(), request.begin() + 264)));
}

TEST(LinkFrames, OversizedDriverReplyFails)
{
    uint8_t got = 0;
    withPanel(emu::RamDriver::PanelFlash, replyLength(266), {}, [&](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        const uint8_t init[] = {0x00};
        EXPECT_FALSE(link.driverCall(init, 1, &got, 1));
    });
}

class RamDriverLoad : public ::testing::Test {
protected:
    Scratch scratch;
    std::unique_ptr<emu::UsbPanel> load(const std::string &text, bool expected, emu::UsbFaults uf = {})
    {
        if (!text.empty())
            scratch.write("driver.S19", text);
        return withPanel(emu::RamDriver::None, {}, uf, [&](BootLink &link, emu::UsbPanel &) {
            ASSERT_TRUE(link.open());
            Failure failure;
            EXPECT_EQ(loadRamDriver(link, scratch.path("driver.S19").c_str(), failure), expected);
            EXPECT_EQ(failure.failed(), !expected);
        });
    }
};

TEST_F(RamDriverLoad, MissingFileSendsNothing)
{
    auto panel = load("", false);
    EXPECT_TRUE(ofKind(*panel, "OUT").empty());
}

TEST_F(RamDriverLoad, BadRecordSendsNothing)
{
    std::string text = srec::file('3', 0x20000000, srec::patternBytes(0x400, 1));
    text[text.find("S3", 200) + 20] ^= 1;
    auto panel = load(text, false);
    EXPECT_TRUE(ofKind(*panel, "OUT").empty());
}

// Nothing to upload means the driver requests that follow would run
// whatever the panel's RAM holds: such a file is refused.
TEST_F(RamDriverLoad, FileWithNothingInTheRamRangeIsRefused)
{
    auto panel = load(srec::file('3', 0x20002000, srec::patternBytes(0x100, 1)) +
                          srec::file('3', 0x1FFFFF00, srec::patternBytes(0x100, 2)),
                      false);
    EXPECT_TRUE(ofKind(*panel, "OUT").empty());
}

TEST_F(RamDriverLoad, OddSizedDriverEndsWithAPaddedPage)
{
    const Bytes driver = srec::patternBytes(0x1801, 5);
    auto panel = load(srec::file('3', 0x20000000, driver), true);
    const auto model = panel->model();
    std::vector<int> expectedPages(25);
    for (int i = 0; i < 25; ++i)
        expectedPages[i] = i;
    EXPECT_EQ(model.ramPagesWritten, expectedPages);
    EXPECT_TRUE(std::equal(driver.begin(), driver.end(), model.ram().begin()));
    const Bytes last = page(model.ram(), 24);
    EXPECT_EQ(last[0], driver.back());
    EXPECT_TRUE(std::all_of(last.begin() + 1, last.end(), [](uint8_t b) { return b == 0xFF; }));
    expectClean(*panel);
}

TEST_F(RamDriverLoad, StopsAtThePageTheLinkFailsToSend)
{
    emu::UsbFaults uf;
    uf.outFault = emu::TransferFault::Gone;
    uf.outFaultAt = headerOut(3);
    auto panel = load(srec::file('3', 0x20000000, srec::patternBytes(0x800, 6)), false, uf);
    EXPECT_EQ(panel->model().ramPagesWritten, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ofKind(*panel, "OUT").size(), 7u);
    expectClean(*panel);
}

// A client reports the failure of its last call, not one left over from an
// earlier call; and a firmware that failed to load replaces the good one
// loaded before it, so that it can never be flashed by mistake.
TEST_F(RamDriverLoad, ClientFailuresAreThoseOfTheLastCall)
{
    scratch.write("good.s19", samples::firmware(0x4000, 0x40FF, 1));
    std::string bad = samples::firmware(0x4000, 0x40FF, 2);
    bad[bad.find("S3") + 20] ^= 1;
    scratch.write("bad.s19", bad);
    emu::UsbFaults gone;
    gone.outFault = emu::TransferFault::Gone;
    gone.outFaultAt = 1;
    auto panel = withPanel(emu::RamDriver::PanelFlash, {}, gone, [&](BootLink &link, emu::UsbPanel &) {
        ASSERT_TRUE(link.open());
        PanelFlashDriver client(&link);
        EXPECT_TRUE(client.loadFirmware(scratch.path("good.s19").c_str()));
        EXPECT_FALSE(client.loadFirmware(scratch.path("bad.s19").c_str()));
        EXPECT_EQ(client.failure().kind, FailureKind::BadRecord);
        EXPECT_EQ(client.failure().line, 2u);
        EXPECT_FALSE(client.flashFirmware());
        EXPECT_EQ(client.failure().kind, FailureKind::NoFirmware);
        EXPECT_FALSE(client.loadFirmware(scratch.path("missing.s19").c_str()));
        EXPECT_EQ(client.failure().kind, FailureKind::FileOpen);
        EXPECT_FALSE(client.init());
        EXPECT_EQ(describe(client.failure()), "initialising the panel flash: sending to the panel failed: " +
                                                  brokenTransfer(emu::TransferFault::Gone, 2));
    });
    EXPECT_EQ(ofKind(*panel, "OUT").size(), 1u);
    expectClean(*panel);
}
