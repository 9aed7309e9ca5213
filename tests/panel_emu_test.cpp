// The panel_emu tool as its users run it: a program under it, the files it
// writes, and its verdict on hosts that break the protocol.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support.h"

using namespace testing_support;

namespace {

const std::string kEmu = PANEL_EMU_PATH;
const std::string kMisbehaving = MISBEHAVING_HOST_PATH;

emu::ProgramRun emuRun(const Scratch &scratch, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{kEmu};
    argv.insert(argv.end(), args.begin(), args.end());
    return emu::runProgram(argv, scratch.dir, true);
}

TEST(PanelEmu, LoadsTheSampleLanguageAndWritesWhatThePanelHolds)
{
    Scratch scratch;
    ASSERT_EQ(emuRun(scratch, {"--make-samples=."}).exitStatus, 0);
    const auto r = emuRun(scratch, {"--wire-log=wire.txt", "--serial-flash=serial.bin", "--ram=ram.bin", "--",
                                    LANG_LOADER_PATH, "language.bin"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(r.out.size() - 34), "Lenguaje cargado correctamente :)\n");
    const std::string serial = slurp(scratch.path("serial.bin"));
    const std::string language = slurp(scratch.path("language.bin"));
    ASSERT_EQ(serial.size(), 512u * 256);
    EXPECT_EQ(serial.substr(32 * 256, 0x10000), language.substr(0, 0x10000));
    EXPECT_EQ(slurp(scratch.path("ram.bin")).substr(0, 16), emu::kSerialDriverTag);
    const std::string wire = slurp(scratch.path("wire.txt"));
    EXPECT_EQ(wire.substr(wire.find("OUT"), 19), "OUT 02 2 ok 0001\n00");
}

TEST(PanelEmu, PassesTheExitStatusOfAFailedRun)
{
    Scratch scratch;
    const auto r = emuRun(scratch, {"--no-panel", "--", PANEL_FLASHER_PATH, "x.s19"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "ERROR: No encuentra el driver\n");
}

TEST(PanelEmu, RejectsUnknownOptionsAndMissingPrograms)
{
    Scratch scratch;
    EXPECT_EQ(emuRun(scratch, {"--fail-out=0", "--", "true"}).exitStatus, 2);
    EXPECT_EQ(emuRun(scratch, {"--ping=maybe", "--", "true"}).exitStatus, 2);
    EXPECT_EQ(emuRun(scratch, {}).exitStatus, 2);
    const auto help = emuRun(scratch, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("--fail-in=N[:KIND]"), std::string::npos);
}

// Frame payloads for misbehaving_host's "send" mode, in hex.
std::string hexOf(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// A request head followed by a page of data.
std::string withPage(const std::string &head) { return head + hexOf(Bytes(256, 0x5A)); }

// Page `n` of a three-page sample panel flash driver, as command 1 carries
// it: page 0 starts with the driver's tag and size.
std::string driverPage(uint8_t n)
{
    Bytes frame(2 + 256, 0x5A);
    frame[0] = 0x01;
    frame[1] = n;
    if (n == 0) {
        std::copy(emu::kPanelDriverTag, emu::kPanelDriverTag + 15, frame.begin() + 2);
        frame[2 + emu::kDriverSizeOffset] = 0x03;
        frame[2 + emu::kDriverSizeOffset + 1] = 0x00;
    }
    return hexOf(frame);
}

struct Misbehaviour {
    const char *name;
    std::vector<std::string> options;
    std::vector<std::string> host;  // misbehaving_host's arguments
    const char *complaint;
};

void PrintTo(const Misbehaviour &m, std::ostream *os) { *os << m.name; }

class PanelEmuChecks : public ::testing::TestWithParam<Misbehaviour> {};

// Every check the emulated panel makes fires for the host that breaks it:
// a test that trusts a check relies on it firing.
TEST_P(PanelEmuChecks, HostBreakingTheProtocolFailsTheRun)
{
    Scratch scratch;
    const Misbehaviour m = GetParam();
    std::vector<std::string> args = m.options;
    args.insert(args.end(), {"--", kMisbehaving});
    args.insert(args.end(), m.host.begin(), m.host.end());
    const auto r = emuRun(scratch, args);
    EXPECT_EQ(r.exitStatus, 4) << r.err;
    EXPECT_NE(r.err.find(m.complaint), std::string::npos) << r.err;
}

const std::string kInit = "0200";
const std::vector<std::string> kSerial{"--driver=serial"}, kPanel{"--driver=panel"};
const std::vector<std::string> kReadOnlySerial{"--driver=serial", "--read-only"};
const std::vector<std::string> kReadOnlyPanel{"--driver=panel", "--read-only"};

INSTANTIATE_TEST_SUITE_P(
    Each, PanelEmuChecks,
    ::testing::Values(
        Misbehaviour{"ThreeByteHeader", {}, {"three-byte-header"}, "frame header transfer is not 2 bytes"},
        Misbehaviour{"LongPayload", {}, {"long-payload"}, "payload length differs from its header"},
        Misbehaviour{"Unclaimed", {}, {"unclaimed"}, "before configuration 1 was set and interface 0 claimed"},
        Misbehaviour{"ConfiguredUnclaimed", {}, {"configured-unclaimed"},
                     "before configuration 1 was set and interface 0 claimed"},
        Misbehaviour{"Retry", {"--fail-out=1:stall"}, {"retry"}, "a retry"},
        Misbehaviour{"Unreleased", {}, {"unreleased"}, "interface 0 was not released"},
        Misbehaviour{"EmptyFrame", {}, {"send", ""}, "empty frame"},
        Misbehaviour{"UnknownCommand", {}, {"send", "07"}, "unknown bootloader command 7"},
        Misbehaviour{"ShortRamPage", {}, {"send", "0100" + std::string(20, 'A')}, "RAM page command of wrong length"},
        Misbehaviour{"RamPage32", {}, {"send", withPage("0120")}, "RAM page 32 is past the 8 KiB RAM window"},
        Misbehaviour{"DriverBeforeUpload", {}, {"send", driverPage(0), kInit},
                     "RAM driver called before all of its pages were uploaded"},
        Misbehaviour{"DriverWithoutItsLastPage", {}, {"send", driverPage(0), driverPage(1), kInit},
                     "RAM driver called before all of its pages were uploaded"},
        Misbehaviour{"MalformedSerialRequest", kSerial, {"send", "0209"}, "malformed serial flash request"},
        Misbehaviour{"SerialWriteBeforeInit", kSerial, {"send", withPage("02010020")},
                     "serial flash written before initialise"},
        Misbehaviour{"SerialWriteByAReader", kReadOnlySerial, {"send", kInit, withPage("02010020")},
                     "serial flash page 32 written by a host that only reads"},
        Misbehaviour{"MalformedFlashRequest", kPanel, {"send", "0209"}, "malformed panel flash request"},
        Misbehaviour{"EraseBeforeInit", kPanel, {"send", "02010801"}, "panel flash erased before initialise"},
        Misbehaviour{"WriteBeforeInit", kPanel, {"send", withPage("02020040")}, "panel flash written before initialise"},
        Misbehaviour{"EraseBootloader", kPanel, {"send", kInit, "02010701"}, "erase of sector 7, the bootloader's"},
        Misbehaviour{"WriteBootloader", kPanel, {"send", kInit, withPage("0202003F")},
                     "write of flash page 63, the bootloader's"},
        Misbehaviour{"EraseByAReader", kReadOnlyPanel, {"send", kInit, "02010801"},
                     "sector 8 erased by a host that only reads"},
        Misbehaviour{"WriteByAReader", kReadOnlyPanel, {"send", kInit, withPage("02020040")},
                     "flash page 64 written by a host that only reads"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PanelEmu, WellBehavedHostPasses)
{
    Scratch scratch;
    const auto r = emuRun(scratch, {"--", kMisbehaving, "none"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
}

} // namespace
