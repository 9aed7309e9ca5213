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

struct Misbehaviour {
    const char *mode;
    std::vector<std::string> options;
    const char *complaint;
};

void PrintTo(const Misbehaviour &m, std::ostream *os) { *os << m.mode; }

class PanelEmuChecks : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(PanelEmuChecks, HostBreakingTheProtocolFailsTheRun)
{
    Scratch scratch;
    const Misbehaviour m = GetParam();
    std::vector<std::string> args = m.options;
    args.insert(args.end(), {"--", kMisbehaving, m.mode});
    const auto r = emuRun(scratch, args);
    EXPECT_EQ(r.exitStatus, 4) << r.err;
    EXPECT_NE(r.err.find(m.complaint), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Each, PanelEmuChecks,
    ::testing::Values(Misbehaviour{"three-byte-header", {}, "frame header transfer is not 2 bytes"},
                      Misbehaviour{"long-payload", {}, "payload length differs from its header"},
                      Misbehaviour{"unclaimed", {}, "before configuration 1 was set and interface 0 claimed"},
                      Misbehaviour{"configured-unclaimed", {}, "before configuration 1 was set and interface 0 claimed"},
                      Misbehaviour{"serial-write-before-init", {"--driver=serial"}, "serial flash written before initialise"},
                      Misbehaviour{"erase-bootloader", {"--driver=panel"}, "erase of sector 7, the bootloader's"},
                      Misbehaviour{"write-bootloader", {"--driver=panel"}, "write of flash page 63, the bootloader's"},
                      Misbehaviour{"ram-page-32", {}, "RAM page 32 is past the 8 KiB RAM window"},
                      Misbehaviour{"driver-before-upload", {}, "RAM driver called before all of its pages were uploaded"},
                      Misbehaviour{"retry", {"--fail-out=1:stall"}, "a retry"},
                      Misbehaviour{"unreleased", {}, "interface 0 was not released"}),
    [](const auto &info) {
        std::string name = info.param.mode;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST(PanelEmu, WellBehavedHostPasses)
{
    Scratch scratch;
    const auto r = emuRun(scratch, {"--", kMisbehaving, "none"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
}

} // namespace
