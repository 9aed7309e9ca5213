// A panel that answers with odd lengths or garbage, and files that are not
// what they should be: the programs fail cleanly, read nothing past what a
// frame holds, and keep their memory bounded.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kLangLoader = LANG_LOADER_PATH;
const std::string kPanelFlasher = PANEL_FLASHER_PATH;
const std::string kPanelOk = "Panel OK!!! :)\n";

std::string smallFirmware() { return samples::firmware(0x4000, 0x47FF, 8); }

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The last IN transfer asked for a reply header only, and nothing moved
// after it: the announced payload was never read.
void expectPayloadUnread(const std::vector<emu::WireEntry> &wire)
{
    std::size_t lastIn = wire.size();
    for (std::size_t i = 0; i < wire.size(); ++i)
        if (wire[i].op == "IN")
            lastIn = i;
    ASSERT_LT(lastIn, wire.size());
    EXPECT_EQ(wire[lastIn].requested, 2u);
    for (std::size_t i = lastIn + 1; i < wire.size(); ++i)
        EXPECT_NE(wire[i].op, "OUT");
}

// ---- Announced reply lengths ------------------------------------------

class AnnouncedLength : public ProgramTest, public ::testing::WithParamInterface<int> {
protected:
    ProgramResult flashWith(emu::ModelFaults mf)
    {
        scratch.write("fw.s19", smallFirmware());
        return run(kPanelFlasher, {"fw.s19"}, {}, mf);
    }
    static bool fits(int n) { return n <= 265; }
};

// "B" and any length a frame holds is the bootloader; nothing, or more
// than a frame holds, is not, and its payload is left unread.
TEST_P(AnnouncedLength, ToThePing)
{
    const int n = GetParam();
    emu::ModelFaults mf;
    mf.pingReplyLength = n;
    const auto r = flashWith(mf);
    if (n > 0 && fits(n)) {
        EXPECT_EQ(r.run.exitStatus, 1);
        EXPECT_TRUE(endsWith(r.run.out, kPanelOk));
        return;
    }
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: No encuentra el bootloader\n");
    EXPECT_EQ(r.model.ramPagesWritten.size(), 0u);
    if (!fits(n))
        expectPayloadUnread(r.wire);
}

// The flash driver's replies carry nothing the sequence relies on, so any
// length a frame holds will do; a longer one stops the run at once.
TEST_P(AnnouncedLength, ToPanelFlashRequests)
{
    const int n = GetParam();
    emu::ModelFaults mf;
    mf.panelReplyLength = n;
    const auto r = flashWith(mf);
    if (fits(n)) {
        EXPECT_EQ(r.run.exitStatus, 1);
        EXPECT_TRUE(endsWith(r.run.out, kPanelOk));
        EXPECT_EQ(r.model.flashPagesWritten, range(64, 71));
        return;
    }
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "Error: al iniciar el flash driver\n");
    EXPECT_EQ(r.run.err, "panel_flasher: initialising the panel flash: the panel announced a " + std::to_string(n) +
                             "-byte reply; a frame holds at most 265\n");
    EXPECT_TRUE(r.model.sectorsErased.empty());
    expectPayloadUnread(r.wire);
}

INSTANTIATE_TEST_SUITE_P(Lengths, AnnouncedLength,
                         ::testing::Values(0, 1, 2, 256, 257, 265, 266, 65535),
                         [](const auto &info) { return "L" + std::to_string(info.param); });

// ---- Garbage replies ----------------------------------------------------

class GarbageReplies : public ProgramTest {};

TEST_F(GarbageReplies, AtThePingStopBeforeAnythingIsSent)
{
    scratch.write("fw.s19", smallFirmware());
    emu::ModelFaults mf;
    mf.garbagePing = true;
    const auto r = run(kPanelFlasher, {"fw.s19"}, {}, mf);
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: No encuentra el bootloader\n");
    EXPECT_EQ(hostFrames(r.model).size(), 1u);
}

// Past the ping, reply bytes land in the request buffer: none of them may
// leak into what is written to the flash.
TEST_F(GarbageReplies, FromTheFlashDriverNeverReachTheFlash)
{
    scratch.write("fw.s19", smallFirmware());
    scratch.write("clean.s19", smallFirmware());
    emu::ModelFaults mf;
    mf.garbageDriverReplies = true;
    const auto garbled = run(kPanelFlasher, {"fw.s19"}, {}, mf);
    const auto clean = run(kPanelFlasher, {"clean.s19"});
    EXPECT_EQ(garbled.run.exitStatus, 1);
    EXPECT_EQ(garbled.model.panelFlash(), clean.model.panelFlash());
}

// ---- Hostile files ------------------------------------------------------

class HostileFiles : public ProgramTest {
protected:
    // The largest resident set of any program this test process ran.
    static long peakChildKiB()
    {
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        return usage.ru_maxrss;
    }
    void writeLongLine(const std::string &name, std::size_t bytes)
    {
        std::FILE *f = std::fopen(scratch.path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const std::string chunk(1 << 20, '7');
        std::fputs("S3", f);
        for (std::size_t done = 0; done < bytes; done += chunk.size())
            std::fwrite(chunk.data(), 1, chunk.size(), f);
        std::fclose(f);
    }
};

// A 100 MB line with no line end is read through a window of one record's
// length, never held whole.
TEST_F(HostileFiles, AHundredMegabyteLineKeepsMemoryBounded)
{
    writeLongLine("fw.s19", 100u << 20);
    writeLongLine("serial_flash.S19", 100u << 20);
    scratch.write("lang.bin", samples::languageFile(2));
    const auto flasher = run(kPanelFlasher, {"fw.s19"});
    EXPECT_EQ(flasher.run.out, "ERROR: al cargar el archivo binario\n");
    EXPECT_EQ(flasher.run.err, "panel_flasher: \"fw.s19\" line 1: bad S-record\n");
    const auto loader = run(kLangLoader, {"lang.bin"});
    EXPECT_EQ(loader.run.out, "ERROR: driver serie no cargado\n");
    EXPECT_TRUE(flasher.model.sectorsErased.empty());
    std::printf("peak resident set of a program reading a 100 MB line: %ld KiB\n", peakChildKiB());
#ifndef __SANITIZE_ADDRESS__  // its shadow memory is no measure of the program's
    EXPECT_LT(peakChildKiB(), 8 * 1024) << "peak resident set of the programs, KiB";
#endif
}

// Binary garbage with NUL bytes, as a firmware and as a RAM driver: refused,
// nothing erased, nothing uploaded.
TEST_F(HostileFiles, BinaryGarbageIsRefused)
{
    Bytes garbage = srec::patternBytes(200000, 77);
    for (std::size_t i = 0; i < garbage.size(); i += 97)
        garbage[i] = 0;
    for (std::size_t i = 50; i < garbage.size(); i += 1001)
        garbage[i] = '\n';
    scratch.write("fw.s19", garbage);
    const auto flasher = run(kPanelFlasher, {"fw.s19"});
    EXPECT_EQ(flasher.run.exitStatus, 0);
    EXPECT_EQ(flasher.run.out, "ERROR: al cargar el archivo binario\n");
    EXPECT_TRUE(flasher.model.sectorsErased.empty());

    scratch.write("cf_flash.S19", garbage);
    const auto driver = run(kPanelFlasher, {"fw.s19"});
    EXPECT_EQ(driver.run.out, "ERROR: al cargar el flasher\n");
    EXPECT_TRUE(driver.model.ramPagesWritten.empty());
}

// A file with only S1 records, or none, loads nothing for the panel's RAM:
// the driver it stands for is refused and no driver request follows.
TEST_F(HostileFiles, DriverFileWithNoDataIsRefused)
{
    scratch.write("lang.bin", samples::languageFile(2));
    for (const std::string &text : {std::string(), srec::file('1', 0x100, srec::patternBytes(64, 1))}) {
        scratch.write("serial_flash.S19", text);
        const auto r = run(kLangLoader, {"lang.bin"});
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, "ERROR: driver serie no cargado\n");
        EXPECT_EQ(r.run.err, "lang_loader: \"serial_flash.S19\" holds no S3 data in "
                             "0x20000000-0x20001FFF\n");
        EXPECT_EQ(hostFrames(r.model).size(), 1u);
    }
}

// Line ends of any system, and records in any order, change nothing the
// panel receives. A lone carriage return ends a line as old editors meant
// it; the last record, not the highest, must not set the image's end.
TEST_F(HostileFiles, FileVariantsFlashAsTheirLfTwin)
{
    const std::string lf = smallFirmware();
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < lf.size();) {
        const std::size_t end = lf.find('\n', at);
        lines.push_back(lf.substr(at, end - at));
        at = end + 1;
    }
    auto joined = [&lines](const std::vector<std::string> &ends) {
        std::string text;
        for (std::size_t i = 0; i < lines.size(); ++i)
            text += lines[i] + ends[i % ends.size()];
        return text;
    };
    std::string reversed;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        reversed += *line + "\n";
    const std::vector<std::pair<std::string, std::string>> twins{
        {"crlf", joined({"\r\n"})},
        {"cr", joined({"\r"})},
        {"mixed", joined({"\r", "\n", "\r\n", "\n\r"})},
        {"descending", reversed},
    };
    scratch.write("lf.s19", lf);
    const auto a = run(kPanelFlasher, {"lf.s19"});
    for (const auto &[name, text] : twins) {
        scratch.write(name + ".s19", text);
        const auto b = run(kPanelFlasher, {name + ".s19"});
        EXPECT_EQ(b.run.exitStatus, 1) << name;
        EXPECT_TRUE(hostFrames(a.model) == hostFrames(b.model)) << name << " sent other frames";
    }
}

// A reader that goes away early (`| head -c3`) costs the run nothing: the
// panel is flashed or loaded in full and released, and the run succeeds.
TEST_F(HostileFiles, ClosedStandardOutputDoesNotStopTheRun)
{
    scratch.write("fw.s19", smallFirmware());
    scratch.write("lang.bin", samples::languageFile(4));
    stdoutLimit = 3;
    const auto flasher = run(kPanelFlasher, {"fw.s19"});
    EXPECT_EQ(flasher.run.exitStatus, 1);
    EXPECT_EQ(flasher.run.out, "|  ");
    EXPECT_EQ(flasher.model.flashPagesWritten, range(64, 71));
    const auto loader = run(kLangLoader, {"lang.bin"});
    EXPECT_EQ(loader.run.exitStatus, 1);
    EXPECT_EQ(loader.model.serialPagesWritten.back(), 1);
}

// A directory, or a file that opens but cannot be read, is never taken for
// an empty image: nothing is erased.
TEST_F(HostileFiles, UnreadableFirmwareIsRefused)
{
    mkdir(scratch.path("dir.s19").c_str(), 0755);
    const auto dir = run(kPanelFlasher, {"dir.s19"});
    EXPECT_EQ(dir.run.out, "ERROR: al cargar el archivo binario\n");
    EXPECT_EQ(dir.run.err, "panel_flasher: cannot read \"dir.s19\": Is a directory\n");
    EXPECT_TRUE(dir.model.sectorsErased.empty());

    // Opens, but every read fails, even for root.
    const auto io = run(kPanelFlasher, {"/proc/self/mem"});
    EXPECT_EQ(io.run.out, "ERROR: al cargar el archivo binario\n");
    EXPECT_EQ(io.run.err, "panel_flasher: cannot read \"/proc/self/mem\": Input/output error\n");
    EXPECT_TRUE(io.model.sectorsErased.empty());

    if (geteuid() != 0) {
        scratch.write("locked.s19", smallFirmware());
        chmod(scratch.path("locked.s19").c_str(), 0);
        const auto locked = run(kPanelFlasher, {"locked.s19"});
        EXPECT_EQ(locked.run.err, "panel_flasher: cannot open \"locked.s19\": Permission denied\n");
        EXPECT_TRUE(locked.model.sectorsErased.empty());
    }
}

TEST_F(HostileFiles, LanguageFileThatCannotBeReadIsRefused)
{
    for (const std::string &path : {scratch.dir, std::string("/proc/self/mem")}) {
        const auto r = run(kLangLoader, {path});
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, "ERROR: archivo de idiomas incompleto\n");
        EXPECT_TRUE(noUsbAccess(r));
    }
}

// Paths are printed as text, never used as a format.
TEST_F(HostileFiles, FormatDirectivesInAPathArePrintedAsTheyAre)
{
    const auto loader = run(kLangLoader, {"%n%s%x"});
    EXPECT_EQ(loader.run.out, "ERROR: No se encuentra el archivo de idiomas%n%s%x\n");
    EXPECT_EQ(loader.run.err, "lang_loader: cannot open \"%n%s%x\": No such file or directory\n");
    const auto flasher = run(kPanelFlasher, {"%n%s%x"});
    EXPECT_EQ(flasher.run.out, "ERROR: al cargar el archivo binario\n");
    EXPECT_EQ(flasher.run.err, "panel_flasher: cannot open \"%n%s%x\": No such file or directory\n");
}

} // namespace
