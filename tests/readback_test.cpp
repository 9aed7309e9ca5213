// panel_readback end to end against the emulated panel, which counts any
// write or erase from it as a protocol violation: a match, a flipped byte
// found at its page and offset, a panel with an old firmware, the
// save/flash/verify round trips, and the ways it cannot do its work.
#include <dirent.h>
#include <set>
#include <sys/stat.h>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kReadback = PANEL_READBACK_PATH;
const std::string kFlasher = PANEL_FLASHER_PATH;
const std::string kLoader = LANG_LOADER_PATH;

// Eight pages from 0x4000; page 65 starts with 16 bytes that look erased
// but holds data after them, so a save that judged pages by their start
// would drop it.
Bytes firmwareBytes()
{
    Bytes image = srec::patternBytes(0x800, 41);
    std::fill_n(image.begin() + 0x100, 16, 0xFF);
    return image;
}

class Readback : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        scratch.write("fw.s19", srec::file('3', 0x4000, firmwareBytes()));
        scratch.write("lang.bin", samples::languageFile(42));
    }
    emu::UsbPanel freshPanel(emu::ModelFaults mf = {}, emu::UsbFaults uf = {})
    {
        return emu::UsbPanel(emu::RamDriver::Auto, mf, uf, emu::PanelStart::Used);
    }
    bool exists(const std::string &name) const
    {
        struct stat st {};
        return stat(scratch.path(name).c_str(), &st) == 0;
    }
};

// Flash, verify, save, flash what was saved, verify both: one panel, as on
// a bench; the same for a language.
TEST_F(Readback, RoundTripsOnOnePanel)
{
    emu::UsbPanel panel = freshPanel();
    EXPECT_EQ(runOn(panel, kFlasher, {"fw.s19"}).run.exitStatus, 1);
    const auto verified = runOn(panel, kReadback, {"verify-firmware", "fw.s19"});
    EXPECT_EQ(verified.run.exitStatus, 0) << verified.run.err;
    EXPECT_EQ(verified.run.out, "match: the panel's flash holds fw.s19 (8 pages)\n");
    EXPECT_EQ(verified.run.err, "");
    EXPECT_EQ(runOn(panel, kReadback, {"save-firmware", "saved.s19"}).run.exitStatus, 0);
    struct stat st {};
    ASSERT_EQ(stat(scratch.path("saved.s19").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "a backup other accounts can read";
    EXPECT_EQ(runOn(panel, kFlasher, {"saved.s19"}).run.exitStatus, 1);
    for (const char *file : {"saved.s19", "fw.s19"})
        EXPECT_EQ(runOn(panel, kReadback, {"verify-firmware", file}).run.exitStatus, 0) << file;

    EXPECT_EQ(runOn(panel, kLoader, {"lang.bin"}).run.exitStatus, 1);
    EXPECT_EQ(runOn(panel, kReadback, {"verify-language", "lang.bin"}).run.out,
              "match: the panel's serial flash holds lang.bin (257 pages)\n");
    const auto saved = runOn(panel, kReadback, {"save-language", "saved.bin"});
    EXPECT_EQ(saved.run.out, "saved the panel's language (65792 bytes) to saved.bin\n");
    EXPECT_EQ(fileText("saved.bin").size(), 65792u);
    EXPECT_EQ(runOn(panel, kLoader, {"saved.bin"}).run.exitStatus, 1);
    EXPECT_EQ(runOn(panel, kReadback, {"verify-language", "lang.bin"}).run.exitStatus, 0);

    // Only the header differs: it is named as the page it is written to.
    Bytes header = samples::languageFile(42);
    const uint8_t was = header[0x10010];
    header[0x10010] ^= 0x81;
    scratch.write("header.bin", header);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "mismatch: serial flash page 1 differs first, at offset 0x10: the file has 0x%02X, the panel "
                  "0x%02X; 1 of 257 pages differ\n",
                  was ^ 0x81, was);
    const auto headerOnly = runOn(panel, kReadback, {"verify-language", "header.bin"});
    EXPECT_EQ(headerOnly.run.exitStatus, 1);
    EXPECT_EQ(headerOnly.run.out, expected);
}

// One byte of page 64 flipped: the checksum word in page 66 differs too.
TEST_F(Readback, FlippedByteIsFoundAtItsPageAndOffset)
{
    emu::UsbPanel panel = freshPanel();
    ASSERT_EQ(runOn(panel, kFlasher, {"fw.s19"}).run.exitStatus, 1);
    Bytes image = firmwareBytes();
    const uint8_t was = image[5];
    image[5] ^= 0x10;
    scratch.write("flipped.s19", srec::file('3', 0x4000, image));
    const auto r = runOn(panel, kReadback, {"verify-firmware", "flipped.s19"});
    EXPECT_EQ(r.run.exitStatus, 1);
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "mismatch: flash page 64 differs first, at offset 0x05: the file has 0x%02X, the panel "
                  "0x%02X; 2 of 8 pages differ\n",
                  was ^ 0x10, was);
    EXPECT_EQ(r.run.out, expected);
}

TEST_F(Readback, PanelWithAnOldFirmwareAndLanguage)
{
    const auto flash = run(kReadback, {"verify-firmware", "fw.s19"});
    EXPECT_EQ(flash.run.exitStatus, 1);
    EXPECT_NE(flash.run.out.find("; 8 of 8 pages differ\n"), std::string::npos) << flash.run.out;
    const auto language = run(kReadback, {"verify-language", "lang.bin"});
    EXPECT_EQ(language.run.exitStatus, 1);
    EXPECT_NE(language.run.out.find("mismatch: serial flash page 32 differs first"), std::string::npos);
    EXPECT_NE(language.run.out.find("; 257 of 257 pages differ\n"), std::string::npos) << language.run.out;

    // What it holds, saved, is all of it, to the last page of each memory:
    // a backup to be flashed back.
    const auto savedFirmware = run(kReadback, {"save-firmware", "old.s19"});
    ASSERT_EQ(savedFirmware.run.exitStatus, 0) << savedFirmware.run.err;
    const Bytes held(savedFirmware.model.panelFlash().begin() + panel::kFirmwareRange.first,
                     savedFirmware.model.panelFlash().end());
    expectSameMemory(firmwareImage(fileText("old.s19")), held, "saved firmware");
    const auto savedLanguage = run(kReadback, {"save-language", "old.bin"});
    ASSERT_EQ(savedLanguage.run.exitStatus, 0) << savedLanguage.run.err;
    const Bytes &serial = savedLanguage.model.serialFlash();
    const Bytes expected = cat(Bytes(serial.begin() + 32 * 256, serial.begin() + 288 * 256), page(serial, 1));
    const std::string text = fileText("old.bin");
    expectSameMemory(Bytes(text.begin(), text.end()), expected, "saved language");
}

TEST_F(Readback, DriversFromAnotherFolder)
{
    mkdir(scratch.path("drivers").c_str(), 0755);
    std::rename(scratch.path("cf_flash.S19").c_str(), scratch.path("drivers/cf_flash.S19").c_str());
    const auto missing = run(kReadback, {"save-firmware", "out.s19"});
    EXPECT_EQ(missing.run.exitStatus, 3);
    EXPECT_EQ(missing.run.err, "panel_readback: cannot open \"./cf_flash.S19\": No such file or directory\n");
    const auto found = run(kReadback, {"--drivers", "drivers", "save-firmware", "out.s19"});
    EXPECT_EQ(found.run.exitStatus, 0) << found.run.err;
}

// What the program cannot do ends with exit status 3, one line saying
// why, and no output file, not even a partial one under another name.
TEST_F(Readback, FailuresLeaveNoFileBehind)
{
    struct Case {
        const char *name;
        emu::UsbFaults uf;
        emu::ModelFaults mf;
        std::vector<std::string> args;
        std::string err;
    };
    emu::UsbFaults stallAtPage72;
    stallAtPage72.inFault = emu::TransferFault::Stall;
    // IN 22: the payload of the 11th reply (the ping's, initialise's, then
    // page reads from 64): the read of page 72.
    stallAtPage72.inFaultAt = 22;
    emu::ModelFaults shortReplies, longReplies;
    shortReplies.panelReplyLength = 100;
    longReplies.panelReplyLength = 300;
    emu::UsbFaults noPanel;
    noPanel.noPanel = true;
    emu::UsbFaults stallAtPage33;
    stallAtPage33.inFault = emu::TransferFault::Stall;
    // IN 6: the payload of the third reply (the ping's, then page reads
    // from 32; initialise is not answered): the read of page 33.
    stallAtPage33.inFaultAt = 6;
    emu::UsbFaults partialPage64;
    partialPage64.inFault = emu::TransferFault::Partial;
    // IN 6: the payload of the third reply (the ping's, initialise's, then
    // the read of page 64).
    partialPage64.inFaultAt = 6;
    mkdir(scratch.path("dir.s19").c_str(), 0755);
    const std::vector<Case> cases{
        {"stops answering", stallAtPage72, {}, {"save-firmware", "out.s19"},
         "panel_readback: reading flash page 72: receiving from the panel failed: " +
             brokenTransfer(emu::TransferFault::Stall, 257) + "\n"},
        // The first packet of page 64 comes, then nothing: libusb-0.1.12
        // drops what came, libusb-compat hands it out as a short read.
        {"stops answering within a page", partialPage64, {}, {"save-firmware", "out.s19"},
         "panel_readback: reading flash page 64: receiving from the panel failed: " +
             std::string(underCompat() ? "the panel stopped answering after 64 of 257 bytes: no answer within 5 s"
                                       : "no answer within 5 s") +
             "\n"},
        {"short replies", {}, shortReplies, {"save-firmware", "out.s19"},
         "panel_readback: reading flash page 64: the panel answered with 100 bytes where a page takes 257\n"},
        {"oversized replies", {}, longReplies, {"verify-firmware", "fw.s19"},
         "panel_readback: initialising the panel flash: the panel announced a 300-byte reply; a frame holds "
         "at most 265\n"},
        {"no panel", noPanel, {}, {"save-language", "out.s19"},
         "panel_readback: no USB device 15a2:0040 found: is the panel plugged in and in its bootloader?\n"},
        {"unwritable folder", {}, {}, {"save-firmware", "no/such/folder/out.s19"},
         "panel_readback: cannot write \"no/such/folder/out.s19\": No such file or directory\n"},
        {"a folder in the way", {}, {}, {"save-language", "dir.s19"},
         "panel_readback: cannot write \"dir.s19\": Is a directory\n"},
        {"verifying a language, stops answering", stallAtPage33, {}, {"verify-language", "lang.bin"},
         "panel_readback: reading serial flash page 33: receiving from the panel failed: " +
             brokenTransfer(emu::TransferFault::Stall, 257) + "\n"},
        {"verifying a language, no driver", {}, {}, {"--drivers", "nowhere", "verify-language", "lang.bin"},
         "panel_readback: cannot open \"nowhere/serial_flash.S19\": No such file or directory\n"},
    };
    for (const Case &c : cases) {
        const auto r = run(kReadback, c.args, c.uf, c.mf);
        EXPECT_EQ(r.run.exitStatus, 3) << c.name;
        EXPECT_EQ(r.run.out, "") << c.name;
        EXPECT_EQ(r.run.err, c.err) << c.name;
        EXPECT_FALSE(exists("out.s19")) << c.name;
    }
    std::set<std::string> left;
    DIR *dir = opendir(scratch.dir.c_str());
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            left.insert(e->d_name);
    closedir(dir);
    EXPECT_EQ(left, (std::set<std::string>{"cf_flash.S19", "dir.s19", "fw.s19", "lang.bin", "serial_flash.S19"}));
}

TEST_F(Readback, CommandLine)
{
    const auto help = run(kReadback, {"--help"});
    EXPECT_EQ(help.run.exitStatus, 0);
    EXPECT_EQ(help.run.out.rfind("Usage: panel_readback [--drivers DIR] COMMAND FILE\n", 0), 0u);
    EXPECT_EQ(run(kReadback, {"--version"}).run.out, "panel_readback 1.0.0\n");
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"verify-firmware"},
                             std::vector<std::string>{"erase", "x"}, std::vector<std::string>{"--force", "a", "b"},
                             std::vector<std::string>{"verify-firmware", "a.s19", "b.s19"}}) {
        const auto r = run(kReadback, args);
        EXPECT_EQ(r.run.exitStatus, 2);
        EXPECT_EQ(r.run.err.rfind("panel_readback: ", 0), 0u) << r.run.err;
        EXPECT_TRUE(noUsbAccess(r));
    }
}

} // namespace
