// panel_tool end to end against the emulated panels: the frames of
// panel_flasher and lang_loader, then every page read back; only what
// differs written, wherever it is; a worn page named where panel_flasher
// reports success, and a failed read-back never taken for a check; backups
// put back, and none taken that cannot be used; the panel chosen by its
// port among several, never guessed; the list with access and bootloader;
// the causes in the programs' words; JSON for scripts; bars on a terminal.
#include <algorithm>
#include <sys/stat.h>
#include <cstdio>
#include <memory>
#include <set>
#include <tuple>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kTool = PANEL_TOOL_PATH;
const std::string kFlasher = PANEL_FLASHER_PATH;
const std::string kLoader = LANG_LOADER_PATH;

// The pages a read-back asks for: request `sub` for each.
std::vector<Bytes> readRequests(uint8_t sub, const std::vector<int> &pages)
{
    std::vector<Bytes> out;
    for (int p : pages)
        out.push_back({0x02, sub, static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)});
    return out;
}

template <typename T> std::vector<T> followedBy(std::vector<T> items, const std::vector<T> &more)
{
    items.insert(items.end(), more.begin(), more.end());
    return items;
}

// "B:D" of a node "00B/00D", as --device takes it.
std::string busAndDevice(const std::string &node)
{
    return std::to_string(std::stoi(node.substr(0, 3))) + ":" + std::to_string(std::stoi(node.substr(4)));
}

// A worn cell keeps the lowest bit the write cleared.
uint8_t worn(uint8_t written) { return static_cast<uint8_t>(written | ((~written) & (0x100 - uint8_t(~written)))); }

class PanelTool : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        scratch.write("fw.s19", samples::firmware(0x4000, 0x47FF, 51));
        scratch.write("lang.bin", language);
    }

    const Bytes language = samples::languageFile(52);
};

// --full: exactly panel_flasher's frames, then every page written read
// back; without the check, panel_flasher's frames alone.
TEST_F(PanelTool, FullFlashSendsWhatPanelFlasherSendsThenReadsEveryPageBack)
{
    const auto flasher = run(kFlasher, {"fw.s19"});
    ASSERT_EQ(flasher.run.exitStatus, 1);
    const auto written = hostFrames(flasher.model);
    auto panels = usedPanels(1);
    const auto r = runOn(*panels, kTool, {"flash", "--full", "fw.s19"});
    EXPECT_EQ(r.run.exitStatus, 0);
    const std::string line = "flashed fw.s19 to the panel at port " + panels->panelPort() + " and verified it: 8 pages in ";
    EXPECT_EQ(r.run.out.compare(0, line.size(), line), 0) << r.run.out;
    EXPECT_EQ(hostFrames(r.model), followedBy(written, readRequests(0x03, range(64, 71))));

    auto again = usedPanels(1);
    const auto quick = runOn(*again, kTool, {"--full", "--no-verify", "--json", "flash", "fw.s19"});
    EXPECT_EQ(quick.run.exitStatus, 0);
    EXPECT_EQ(hostFrames(quick.model), written);
    EXPECT_EQ(nlohmann::json::parse(quick.run.out).value("result", ""), "written");
}

TEST_F(PanelTool, FullLoadSendsWhatLangLoaderSendsThenReadsItBack)
{
    const auto loader = run(kLoader, {"lang.bin"});
    ASSERT_EQ(loader.run.exitStatus, 1);
    auto panels = usedPanels(1);
    const auto r = runOn(*panels, kTool, {"load-language", "--full", "lang.bin"});
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out.rfind("loaded lang.bin into the panel at port " + panels->panelPort() +
                                  " and verified it: 257 pages in ",
                              0),
              0u)
        << r.run.out;
    auto pages = range(32, 287);
    pages.push_back(1);
    EXPECT_EQ(hostFrames(r.model), followedBy(hostFrames(loader.model), readRequests(0x02, pages)));
}

// What a run added to a list the panel keeps over runs.
std::vector<int> since(const std::vector<int> &now, const std::vector<int> &before)
{
    return std::vector<int>(now.begin() + static_cast<std::ptrdiff_t>(before.size()), now.end());
}

// The one folder a backup made in `dir`.
std::string backupIn(const std::string &dir)
{
    const std::vector<std::string> found = namesIn(dir);
    EXPECT_EQ(found.size(), 1u) << "backups in " << dir;
    return found.empty() ? "" : found.front();
}

// By default the panel is read first: a panel holding an old firmware is
// erased and written where it differs; a panel that holds the file is
// left untouched; one byte off costs its sector and the checksum's. The
// same for a language, page by page, the header last.
TEST_F(PanelTool, ReadsThePanelFirstAndWritesOnlyWhatDiffers)
{
    auto panels = usedPanels(1);
    scratch.write("two.s19", srec::file('3', 0x4000, srec::patternBytes(0x1000, 54)));
    Bytes changed = srec::patternBytes(0x1000, 54);
    changed[0xC10] ^= 0x01;  // sector 9, flash page 76
    scratch.write("one-byte.s19", srec::file('3', 0x4000, changed));
    struct Case {
        const char *file;
        std::vector<int> erased;
        std::vector<int> written;
        std::string line;
    } cases[] = {
        {"two.s19", range(8, 127), range(64, 79), "flashed two.s19 to the panel at port " + panels->panelPort() +
                                                      " and verified it: 120 of 120 sectors differed, 16 pages written in "},
        {"two.s19", {}, {}, "the panel at port " + panels->panelPort() +
                                " already holds two.s19: nothing erased or written (960 pages read in "},
        {"one-byte.s19", {8, 9}, range(64, 79), "flashed one-byte.s19 to the panel at port " + panels->panelPort() +
                                                    " and verified it: 2 of 120 sectors differed, 16 pages written in "},
    };
    for (const Case &c : cases) {
        const emu::PanelModel before = panels->model();
        const auto r = runOn(*panels, kTool, {"flash", c.file});
        EXPECT_EQ(r.run.exitStatus, 0) << c.file;
        EXPECT_EQ(r.run.out.rfind(c.line, 0), 0u) << r.run.out;
        EXPECT_EQ(since(r.model.sectorsErased, before.sectorsErased), c.erased) << c.file;
        EXPECT_EQ(since(r.model.flashPagesWritten, before.flashPagesWritten), c.written) << c.file;
        // The whole range is read before the first erase.
        const std::vector<Bytes> frames = hostFrames(r.model);
        const std::vector<Bytes> sent(frames.begin() + static_cast<std::ptrdiff_t>(before.hostFrameCount()),
                                      frames.end());
        const std::vector<Bytes> reads = readRequests(0x03, range(64, 1023));
        ASSERT_GE(sent.size(), 5 + reads.size());
        EXPECT_TRUE(std::equal(reads.begin(), reads.end(), sent.begin() + 5)) << c.file;
    }
    EXPECT_EQ(runOn(*panels, kTool, {"--json", "flash", "one-byte.s19"}).run.exitStatus, 0);

    Bytes language = samples::languageFile(52);
    language[10 * 256 + 7] ^= 0x40;  // data page 10: serial flash page 42
    scratch.write("lang-one-byte.bin", language);
    const struct {
        const char *file;
        std::vector<int> written;
    } languages[] = {{"lang.bin", followedBy(range(32, 287), {1})}, {"lang.bin", {}}, {"lang-one-byte.bin", {42}}};
    for (const auto &c : languages) {
        const emu::PanelModel before = panels->model();
        const auto r = runOn(*panels, kTool, {"--json", "load-language", c.file});
        EXPECT_EQ(r.run.exitStatus, 0) << c.file;
        EXPECT_EQ(since(r.model.serialPagesWritten, before.serialPagesWritten), c.written) << c.file;
    }
}

// One page differs from what the panel holds, in each place a plan could
// overlook: the first, a middle and the last page of a sector, a page of
// the checksum word's sector, the last page of the last sector (and, in
// the page, its first, a middle or its last byte); for a language, its
// first and last data pages and its header. Each run erases exactly that
// page's sector (and the checksum word's, whose sum changed), writes and
// reads back its pages, and leaves the panel holding the file, which the
// fixture checks byte for byte after every success.
TEST_F(PanelTool, APageThatDiffersAnywhereIsWrittenAndNothingElse)
{
    auto panels = usedPanels(1);
    Bytes image = srec::patternBytes(panel::kFirmwareRange.size(), 56);
    scratch.write("full.s19", srec::file('3', 0x4000, image));
    ASSERT_EQ(runOn(*panels, kTool, {"flash", "full.s19"}).run.exitStatus, 0);
    const struct {
        int page;  // the panel's
        std::size_t offset;
    } firmwareCases[] = {{80, 0}, {99, 128}, {111, 255}, {69, 7}, {1023, 255}};
    for (const auto &c : firmwareCases) {
        const uint32_t sumBefore = panel::firmwareChecksum(image.data());
        image[std::size_t(c.page - 64) * 256 + c.offset] ^= 0x21;
        const std::string file = "page-" + std::to_string(c.page) + ".s19";
        scratch.write(file, srec::file('3', 0x4000, image));
        std::set<int> sectors{c.page / 8};
        if (panel::firmwareChecksum(image.data()) != sumBefore)
            sectors.insert(8);
        std::vector<int> pages;
        for (int sector : sectors)
            for (int p = sector * 8; p < sector * 8 + 8; ++p)
                pages.push_back(p);
        const emu::PanelModel before = panels->model();
        const auto r = runOn(*panels, kTool, {"--json", "flash", file});
        EXPECT_EQ(r.run.exitStatus, 0) << file << ": " << r.run.out;
        EXPECT_EQ(since(r.model.sectorsErased, before.sectorsErased), std::vector<int>(sectors.begin(), sectors.end()))
            << file;
        EXPECT_EQ(since(r.model.flashPagesWritten, before.flashPagesWritten), pages) << file;
        const std::vector<Bytes> frames = hostFrames(r.model);
        EXPECT_EQ(std::vector<Bytes>(frames.end() - static_cast<std::ptrdiff_t>(pages.size()), frames.end()),
                  readRequests(0x03, pages))
            << file << ": the pages written, read back";
    }

    Bytes language = samples::languageFile(57);
    scratch.write("lang-0.bin", language);
    ASSERT_EQ(runOn(*panels, kTool, {"load-language", "lang-0.bin"}).run.exitStatus, 0);
    const struct {
        std::size_t at;  // in the file
        int page;        // the serial flash's
    } languageCases[] = {{0, 32}, {255 * 256 + 255, 287}, {0x10000 + 255, 1}};
    for (const auto &c : languageCases) {
        language[c.at] ^= 0x21;
        const std::string file = "lang-" + std::to_string(c.page) + ".bin";
        scratch.write(file, language);
        const emu::PanelModel before = panels->model();
        const auto r = runOn(*panels, kTool, {"--json", "load-language", file});
        EXPECT_EQ(r.run.exitStatus, 0) << file << ": " << r.run.out;
        EXPECT_EQ(since(r.model.serialPagesWritten, before.serialPagesWritten), std::vector<int>{c.page}) << file;
        EXPECT_EQ(hostFrames(r.model).back(), readRequests(0x02, {c.page}).front()) << file;
    }
}

// A page read back after the writes fails (the panel unplugged as it is
// asked for it): the service has failed, whatever it wrote; never
// "verified".
TEST_F(PanelTool, AReadBackThatFailsIsAFailureNeverAVerification)
{
    // The frames: ping, 3 RAM driver pages, initialise; then, for the
    // firmware, 960 reads, 120 erases, 8 writes and the reads back; for
    // the language, 257 reads, 257 writes and the reads back.
    const struct {
        std::vector<std::string> args;
        int frame;
        std::string step;
    } cases[] = {{{"--json", "flash", "fw.s19"}, 5 + 960 + 120 + 8 + 2, "reading flash page 66"},
                 {{"load-language", "lang.bin"}, 5 + 257 + 257 + 10, "reading serial flash page 42"}};
    for (const auto &c : cases) {
        const auto r = run(kTool, c.args, failOut(payloadOut(c.frame)));
        EXPECT_EQ(r.run.exitStatus, 3) << c.step;
        EXPECT_EQ(r.run.err, "panel_tool: " + c.step + ": sending to the panel failed: " +
                                 brokenTransfer(emu::TransferFault::Gone, 4) + "\n");
        // Nothing on standard output but the JSON result, "failed" (which
        // the fixture holds to the exit status).
        EXPECT_EQ(r.run.out.empty(), c.args.front() != "--json") << r.run.out;
    }
}

// The panel unplugged while it is read first: nothing was erased or
// written, the panel holds what it held.
TEST_F(PanelTool, AnUnplugDuringThePreReadLeavesThePanelAsItWas)
{
    // The frames: the ping, 3 RAM driver pages, initialise, then the
    // reads from flash page 64.
    const auto r = run(kTool, {"flash", "fw.s19"}, failOut(payloadOut(5 + 10)));
    EXPECT_EQ(r.run.exitStatus, 3);
    EXPECT_EQ(r.run.err, "panel_tool: reading flash page 74: sending to the panel failed: " +
                             brokenTransfer(emu::TransferFault::Gone, 4) + "\n");
    EXPECT_TRUE(r.model.sectorsErased.empty());
    EXPECT_TRUE(r.model.flashPagesWritten.empty());
    EXPECT_EQ(r.model.panelFlash(), r.model.panelFlashBefore());
    EXPECT_TRUE(r.model.bootCheckPasses());
}

// What a panel held, saved before it is changed, puts it back as it was:
// by restore, or by flashing the saved file. A panel that failed its boot
// check is put back only with --force, exactly as it was, and its saved
// firmware is never flashed (a fresh checksum would make it start). A
// backup that cannot be written stops the service before the panel is
// touched.
TEST_F(PanelTool, ABackupPutsBackWhatThePanelHeld)
{
    auto panels = usedPanels(1);
    const emu::PanelModel was = panels->model();
    const auto flashed = runOn(*panels, kTool, {"--json", "flash", "--backup", "kept", "fw.s19"});
    ASSERT_EQ(flashed.run.exitStatus, 0);
    const std::string firmwareBackup = "kept/" + backupIn(scratch.path("kept"));
    EXPECT_EQ(firmwareBackup.rfind("kept/" + panels->panelPort() + "-20", 0), 0u) << firmwareBackup;
    EXPECT_EQ(nlohmann::json::parse(flashed.run.out)["backup"], firmwareBackup);
    const auto manifest = nlohmann::json::parse(fileText(firmwareBackup + "/backup.json"));
    EXPECT_EQ(manifest["memories"][0]["boot_check"], true);
    ASSERT_EQ(runOn(*panels, kTool, {"load-language", "--backup", "kept-language", "lang.bin"}).run.exitStatus, 0);
    const std::string languageBackup = "kept-language/" + backupIn(scratch.path("kept-language"));

    // Flashed back, the saved firmware leaves the panel as it was; a
    // restore then finds it there and writes nothing.
    EXPECT_EQ(runOn(*panels, kTool, {"flash", firmwareBackup + "/firmware.s19"}).run.exitStatus, 0);
    EXPECT_EQ(panels->model().panelFlash(), was.panelFlash());
    const emu::PanelModel flashedBack = panels->model();
    const auto restored = runOn(*panels, kTool, {"--json", "restore", firmwareBackup});
    EXPECT_EQ(restored.run.exitStatus, 0);
    EXPECT_EQ(nlohmann::json::parse(restored.run.out)[0].value("result", ""), "already held");
    EXPECT_EQ(panels->model().flashPagesWritten, flashedBack.flashPagesWritten);
    EXPECT_EQ(runOn(*panels, kTool, {"restore", languageBackup}).run.exitStatus, 0);
    EXPECT_EQ(panels->model().serialFlash(), was.serialFlash());

    // A flash cut short at its fourth page leaves a panel that fails its
    // boot check (the frames: ping, 3 driver pages, initialise, 960 reads,
    // 120 erases, then the pages).
    emu::UsbPanel cutShort(emu::RamDriver::Auto, {}, failOut(payloadOut(5 + 960 + 120 + 3)), emu::PanelStart::Used);
    ASSERT_EQ(runOn(cutShort, kTool, {"flash", "fw.s19"}).run.exitStatus, 3);
    cutShort.unplug(0);
    cutShort.plugIn(0);
    const emu::PanelModel failing = cutShort.model();
    ASSERT_FALSE(failing.bootCheckPasses());
    const auto kept = runOn(cutShort, kTool, {"--json", "flash", "--full", "--backup", "failing", "fw.s19"});
    ASSERT_EQ(kept.run.exitStatus, 0) << kept.run.err;
    const std::string failingBackup = "failing/" + backupIn(scratch.path("failing"));
    EXPECT_EQ(nlohmann::json::parse(fileText(failingBackup + "/backup.json"))["memories"][0]["boot_check"], false);
    const std::string refusal = "panel_tool: \"" + failingBackup +
                                "/firmware.s19\" was saved from a panel that failed its boot check: flashed, that "
                                "image would start; panel_tool restore --force puts back exactly what the panel "
                                "held\n";
    for (const auto &args : {std::vector<std::string>{"restore", failingBackup},
                             std::vector<std::string>{"flash", failingBackup + "/firmware.s19"}}) {
        const std::size_t frames = cutShort.model().hostFrameCount();
        const auto refused = runOn(cutShort, kTool, args);
        EXPECT_EQ(refused.run.exitStatus, 3) << args[0];
        EXPECT_EQ(refused.run.err, refusal);
        EXPECT_EQ(refused.model.hostFrameCount(), frames) << args[0];
    }
    EXPECT_EQ(runOn(cutShort, kTool, {"restore", "--force", failingBackup}).run.exitStatus, 0);
    EXPECT_EQ(cutShort.model().panelFlash(), failing.panelFlash());
}

// A backup that cannot be kept, or one that is damaged, stops the command
// before the panel is touched: a folder that is not one or may not be
// written (flash, load-language), and a backup whose file differs from
// the SHA-256 its backup.json recorded (restore). The backups made first
// on the same bus show that the bus counted is the one the tool reaches.
TEST_F(PanelTool, NothingIsTouchedWithoutAUsableBackup)
{
    auto panels = usedPanels(1);
    ASSERT_EQ(runOn(*panels, kTool, {"flash", "--backup", "kept", "fw.s19"}).run.exitStatus, 0);
    ASSERT_EQ(runOn(*panels, kTool, {"load-language", "--backup", "kept-language", "lang.bin"}).run.exitStatus, 0);
    ASSERT_GT(panels->model().hostFrameCount(), 0u);
    const std::string firmware = "kept/" + backupIn(scratch.path("kept")) + "/firmware.s19";
    const std::string language = "kept-language/" + backupIn(scratch.path("kept-language")) + "/language.bin";
    std::string text = fileText(firmware);
    text[text.find("\nS3") + 20] ^= 0x01;  // a bit of a data digit of the first page
    scratch.write(firmware, text);
    text = fileText(language);
    text[1000] ^= 0x01;
    scratch.write(language, text);
    scratch.write("plain", std::string("not a folder"));
    mkdir(scratch.path("read-only").c_str(), 0555);
    const std::string damaged = "\" differs from the SHA-256 its backup recorded: the backup is damaged";
    for (const auto &[args, cause] :
         {std::pair<std::vector<std::string>, std::string>{{"restore", firmware.substr(0, firmware.rfind('/'))},
                                                           "\"" + firmware + damaged},
          {{"restore", language.substr(0, language.rfind('/'))}, "\"" + language + damaged},
          {{"flash", "--backup", "plain/kept", "fw.s19"}, "cannot write \"plain/kept\": Not a directory"},
          {{"flash", "--backup", "plain", "fw.s19"}, "cannot write \"plain\": Not a directory"},
          {{"load-language", "--backup", "read-only", "lang.bin"}, "cannot write \"read-only\": Permission denied"}}) {
        const std::size_t frames = panels->model().hostFrameCount();
        const auto refused = runOn(*panels, kTool, args);
        EXPECT_EQ(refused.run.exitStatus, 3) << cause;
        EXPECT_EQ(refused.run.err, "panel_tool: " + cause + "\n");
        EXPECT_EQ(refused.model.hostFrameCount(), frames) << cause;
    }
}

// Whatever bytes a file name holds (a quote, a backslash, a line end, a
// control byte, a Latin-1 "á"), the result is valid JSON, which a strict
// parser reads (the fixture, too, holds every field to the run); a name
// that is not UTF-8 keeps its exact bytes beside the readable form, in
// a result and in a cause.
TEST_F(PanelTool, AnyFileNameGivesValidJson)
{
    auto panels = usedPanels(1);
    const std::string firmware = fileText("fw.s19");
    for (const std::string name : {"fw \"quoted\".s19", "fw\\back.s19", "fw\nline.s19", "fw\x01.s19", "fw-\xe1.s19"}) {
        scratch.write(name, firmware);
        const auto r = runOn(*panels, kTool, {"--json", "--full", "--no-verify", "flash", name});
        EXPECT_EQ(r.run.exitStatus, 0) << name;
        const auto doc = nlohmann::json::parse(r.run.out, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << "not JSON: " << r.run.out;
        EXPECT_EQ(doc.contains("file_hex"), name.find('\xe1') != std::string::npos) << name;
    }
    const auto missing = run(kTool, {"--json", "flash", "gone-\xe1.s19"});
    EXPECT_EQ(missing.run.exitStatus, 3);
    const auto doc = nlohmann::json::parse(missing.run.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << "not JSON: " << missing.run.out;
    EXPECT_EQ(doc.value("file", ""), "gone-\xef\xbf\xbd.s19");
    EXPECT_EQ(doc.value("file_hex", ""), "676f6e652de12e733139");
    EXPECT_EQ(textOf(doc, "cause"), "cannot open \"gone-\xe1.s19\": No such file or directory");
}

// A page write answered as done that leaves a byte wrong: panel_tool names
// the page and both bytes; panel_flasher, as it always did, reports
// success.
TEST_F(PanelTool, WornPageIsNamedWherePanelFlasherReportsSuccess)
{
    emu::ModelFaults worn66;
    worn66.wornFlashPage = 66;
    emu::UsbPanel legacyPanel(emu::RamDriver::Auto, worn66, {}, emu::PanelStart::Used);
    const auto legacy = emu::runProgram({kFlasher, "fw.s19"}, scratch.dir, true);
    EXPECT_EQ(legacy.exitStatus, 1);
    EXPECT_NE(legacy.out.find("Panel OK!!! :)\n"), std::string::npos);

    auto panels = usedPanels(1, worn66);
    const auto r = runOn(*panels, kTool, {"flash", "fw.s19"});
    EXPECT_EQ(r.run.exitStatus, 1);
    unsigned offset = 0, file = 0, held = 0;
    ASSERT_EQ(std::sscanf(r.run.out.c_str(), "mismatch: flash page 66 differs first, at offset 0x%X: the file has 0x%X, "
                                             "the panel 0x%X; ",
                          &offset, &file, &held),
              3)
        << r.run.out;
    EXPECT_EQ(r.run.out.substr(r.run.out.find("; ")), "; 1 of 960 pages differ\n") << "the whole range compared";
    EXPECT_EQ(held, worn(static_cast<uint8_t>(file)));
    EXPECT_EQ(page(r.model.panelFlash(), 66)[offset], held);
    // For a script, the same: the fixture holds the JSON's cause to the
    // byte the panel holds.
    auto again = usedPanels(1, worn66);
    EXPECT_EQ(runOn(*again, kTool, {"--json", "flash", "fw.s19"}).run.exitStatus, 1);

    emu::ModelFaults worn40;
    worn40.wornSerialPage = 40;
    auto other = usedPanels(1, worn40);
    const auto language40 = runOn(*other, kTool, {"load-language", "lang.bin"});
    EXPECT_EQ(language40.run.exitStatus, 1);
    const Bytes filePage = page(language, 8);
    const std::size_t first = static_cast<std::size_t>(
        std::find_if(filePage.begin(), filePage.end(), [](uint8_t b) { return b != 0xFF; }) - filePage.begin());
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "mismatch: serial flash page 40 differs first, at offset 0x%02zX: the file has 0x%02X, the panel "
                  "0x%02X; 1 of 257 pages differ\n",
                  first, filePage[first], worn(filePage[first]));
    EXPECT_EQ(language40.run.out, expected);
}

// With two panels nothing is written without a choice; the one chosen by
// its port, or its bus and device, is the only one written.
TEST_F(PanelTool, ChoosesThePanelByItsPortAndNeverGuesses)
{
    auto panels = usedPanels(2);
    const auto refused = runOn(*panels, kTool, {"flash", "fw.s19"});
    EXPECT_EQ(refused.run.exitStatus, 2);
    EXPECT_EQ(refused.run.err.rfind("panel_tool: 2 panels are plugged in: choose one with --port (or --device):\n", 0),
              0u)
        << refused.run.err;
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NE(refused.run.err.find("\n" + panels->panelPort(i) + " "), std::string::npos) << refused.run.err;
    EXPECT_TRUE(std::none_of(refused.wire.begin(), refused.wire.end(),
                             [](const emu::WireEntry &e) { return e.op == "OUT" || e.op == "IN"; }));

    EXPECT_EQ(runOn(*panels, kTool, {"flash", "--port", panels->panelPort(1), "fw.s19"}).run.exitStatus, 0);
    EXPECT_EQ(panels->model(0).panelFlash(), panels->model(0).panelFlashBefore());
    EXPECT_NE(panels->model(1).panelFlash(), panels->model(1).panelFlashBefore());
    EXPECT_EQ(runOn(*panels, kTool, {"load-language", "--device", busAndDevice(panels->panelDevice(0)), "lang.bin"})
                  .run.exitStatus,
              0);
    EXPECT_NE(panels->model(0).serialFlash(), panels->model(0).serialFlashBefore());
    EXPECT_EQ(panels->model(1).serialFlash(), panels->model(1).serialFlashBefore());

    const auto nowhere = runOn(*panels, kTool, {"flash", "--port", "99-9", "fw.s19"});
    EXPECT_EQ(nowhere.run.exitStatus, 2);
    EXPECT_EQ(nowhere.run.err.rfind("panel_tool: no panel at port 99-9; the panels:\n", 0), 0u) << nowhere.run.err;

    // A port or device mistyped, or named before its panel is plugged in,
    // is refused as well when another panel is alone on the host.
    auto single = usedPanels(1);
    for (const auto &[option, value, what] :
         {std::tuple<std::string, std::string, std::string>{"--port", "99-9", "port 99-9"},
          {"--device", "99:99", "device 99:99"}}) {
        const auto mistyped = runOn(*single, kTool, {"load-language", option, value, "lang.bin"});
        EXPECT_EQ(mistyped.run.exitStatus, 2) << what;
        EXPECT_EQ(mistyped.run.err.rfind("panel_tool: no panel at " + what + "; the panels:\n" +
                                             "PORT        BUS:DEV   SPEED       ACCESS\n" + single->panelPort() + " ",
                                         0),
                  0u)
            << mistyped.run.err;
        EXPECT_EQ(single->model().hostFrameCount(), 0u) << what;
    }
}

// A panel the kernel's list misses (its sysfs entry does not name it yet)
// is still a panel the USB library reaches: it is listed, without a port,
// and never mistaken for another panel on its bus.
TEST_F(PanelTool, APanelMissingFromSysfsIsListedApart)
{
    auto panels = usedPanels(1);
    emu::PanelSpec unnamed;
    unnamed.start = emu::PanelStart::Used;
    unnamed.unnamedInSysfs = true;
    panels->addPanel(unnamed);
    const auto listed = runOn(*panels, kTool, {"list", "--json"});
    EXPECT_EQ(listed.run.exitStatus, 0);
    const auto doc = nlohmann::json::parse(listed.run.out, nullptr, false);
    ASSERT_TRUE(doc.is_array()) << listed.run.out;
    // libusb-compat lists devices from sysfs too: a device its vendor and
    // product attributes do not name is still listed from its descriptors.
    ASSERT_EQ(doc.size(), 2u) << listed.run.out;
    EXPECT_EQ(doc[0]["port"], "");
    EXPECT_EQ(doc[0]["device"], std::stoi(panels->panelDevice(1).substr(4)));
    EXPECT_EQ(doc[1]["port"], panels->panelPort(0));
    EXPECT_EQ(doc[1]["device"], std::stoi(panels->panelDevice(0).substr(4)));
    const auto refused = runOn(*panels, kTool, {"flash", "fw.s19"});
    EXPECT_EQ(refused.run.exitStatus, 2);
    EXPECT_EQ(refused.run.err.rfind("panel_tool: 2 panels are plugged in", 0), 0u) << refused.run.err;
}

TEST_F(PanelTool, ListShowsEveryPanelItsAccessAndItsBootloader)
{
    auto panels = usedPanels(2, {}, true);
    const auto text = runOn(*panels, kTool, {"list", "--ping"});
    EXPECT_EQ(text.run.exitStatus, 0);
    const std::string node1 = "/dev/bus/usb/" + panels->panelDevice(1);
    std::istringstream lines(text.run.out);
    std::string heading, open, closed;
    std::getline(lines, heading);
    std::getline(lines, open);
    std::getline(lines, closed);
    EXPECT_EQ(heading, "PORT        BUS:DEV   SPEED       ACCESS  BOOTLOADER");
    EXPECT_EQ(open, panels->panelPort(0) + std::string(12 - panels->panelPort(0).size(), ' ') +
                        panels->panelDevice(0).replace(3, 1, ":") + "   12 Mbit/s   yes     answers");
    EXPECT_EQ(closed.rfind(panels->panelPort(1), 0), 0u);
    EXPECT_NE(closed.find(" no      -          this user may not write " + node1 + " ("), std::string::npos) << closed;
    EXPECT_NE(closed.find("): install the udev rule and join group plugdev"), std::string::npos) << closed;
    EXPECT_EQ(panels->model(0).pings, 1);
    EXPECT_EQ(panels->model(1).pings, 0);

    const auto json = runOn(*panels, kTool, {"list", "--json"});
    const std::string where = busAndDevice(panels->panelDevice(0));
    const auto listed = nlohmann::json::parse(json.run.out, nullptr, false);
    ASSERT_TRUE(listed.is_array() && listed.size() == 2) << json.run.out;
    EXPECT_EQ(listed[0], nlohmann::json({{"port", panels->panelPort(0)},
                                         {"bus", std::stoi(where.substr(0, where.find(':')))},
                                         {"device", std::stoi(where.substr(where.find(':') + 1))},
                                         {"speed", "12"},
                                         {"access", true},
                                         {"why", ""}}));
    EXPECT_EQ(listed[1]["access"], false);
    EXPECT_EQ(listed[1].value("why", "").rfind("this user may not write " + node1, 0), 0u) << json.run.out;
}

// The causes read as the programs' causes; a bad file is refused before
// any panel is touched.
TEST_F(PanelTool, FailuresReadAsTheProgramsCauses)
{
    emu::UsbFaults none;
    none.noPanel = true;
    EXPECT_EQ(run(kTool, {"flash", "fw.s19"}, none).run.err,
              "panel_tool: no USB device 15a2:0040 found: is the panel plugged in and in its bootloader?\n");
    emu::UsbFaults stall;
    stall.outFault = emu::TransferFault::Stall;
    stall.outFaultAt = 11;  // the header of the first erase request
    const auto stalled = run(kTool, {"flash", "--full", "fw.s19"}, stall);
    EXPECT_EQ(stalled.run.exitStatus, 3);
    EXPECT_EQ(stalled.run.err, "panel_tool: erasing flash sector 8: sending to the panel failed: " +
                                   brokenTransfer(emu::TransferFault::Stall, 2) + "\n");
    scratch.write("bad.s19", std::string("S30900004000010203040\n"));
    scratch.write("short.bin", Bytes(1000, 1));
    mkdir(scratch.path("folder.bin").c_str(), 0755);
    for (const auto &[args, cause] :
         {std::pair<std::vector<std::string>, std::string>{{"flash", "bad.s19"}, "\"bad.s19\" line 1: bad S-record"},
          {{"--json", "load-language", "short.bin"}, "\"short.bin\" is 1000 bytes; a language file has 65792"},
          {{"load-language", "folder.bin"}, "\"folder.bin\" is not a regular file"}}) {
        const auto bad = run(kTool, args);
        EXPECT_EQ(bad.run.exitStatus, 3);
        EXPECT_EQ(bad.run.err, "panel_tool: " + cause + "\n");
        EXPECT_TRUE(noUsbAccess(bad));
    }
}

TEST_F(PanelTool, CommandLine)
{
    const auto help = run(kTool, {"--help"});
    EXPECT_EQ(help.run.exitStatus, 0);
    EXPECT_EQ(help.run.out.rfind("Usage: panel_tool [OPTIONS] COMMAND [FILE]\n", 0), 0u);
    EXPECT_EQ(run(kTool, {"--version"}).run.out, "panel_tool 1.0.0\n");
    for (const auto &args : {std::vector<std::string>{}, {"erase", "x"}, {"flash"}, {"list", "x"},
                             {"--port", "1-1", "--device", "1:2", "flash", "fw.s19"}, {"--device", "x", "list"},
                             {"flash", "--force", "fw.s19"}, {"list", "--full"}}) {
        const auto r = run(kTool, args);
        EXPECT_EQ(r.run.exitStatus, 2);
        EXPECT_TRUE(noUsbAccess(r));
    }
    EXPECT_EQ(run(kTool, {"flash", "--force", "fw.s19"}).run.err,
              "panel_tool: --force is for restore\nTry 'panel_tool --help'.\n");
}

// A person sees a bar per phase and the result; --quiet shows nothing.
TEST_F(PanelTool, OnATerminalABarPerPhase)
{
    terminal = true;
    auto panels = usedPanels(1);
    const auto r = runOn(*panels, kTool, {"flash", "fw.s19"});
    EXPECT_EQ(r.run.exitStatus, 0);
    for (const char *bar : {"\rdriver  [##############################]    3/3 100%",
                            "\rread    [##############################]  960/960 100%", "\rerase   [#", "\rwrite   [#",
                            "\rverify  [##############################]    8/8 100%"})
        EXPECT_NE(r.run.out.find(bar), std::string::npos) << bar;
    EXPECT_NE(r.run.out.find("done in"), std::string::npos);
    EXPECT_NE(r.run.out.find("\r\nflashed fw.s19 to the panel at port " + panels->panelPort() +
                             " and verified it: 120 of 120 sectors differed, 8 pages written in "),
              std::string::npos)
        << r.run.out;
    EXPECT_EQ(runOn(*panels, kTool, {"--quiet", "flash", "fw.s19"}).run.out, "");
}

// As panel_readback: a match, a file that differs only in the last byte
// of a page (of two firmware pages, whose sum is then the same: the
// checksum word agrees), and a save.
TEST_F(PanelTool, VerifiesAndSavesAsPanelReadbackDoes)
{
    auto panels = usedPanels(1);
    ASSERT_EQ(runOn(*panels, kTool, {"flash", "fw.s19"}).run.exitStatus, 0);
    EXPECT_EQ(runOn(*panels, kTool, {"verify-firmware", "fw.s19"}).run.out,
              "match: the panel's flash holds fw.s19 (8 pages)\n");
    Bytes image = firmwareImage(fileText("fw.s19"));
    image.resize(0x800);
    std::swap(image[6 * 256 + 255], image[7 * 256 + 255]);
    ASSERT_NE(image[6 * 256 + 255], image[7 * 256 + 255]);
    scratch.write("last-bytes.s19", srec::file('3', 0x4000, image));
    char mismatch[200];
    std::snprintf(mismatch, sizeof mismatch,
                  "mismatch: flash page 70 differs first, at offset 0xFF: the file has 0x%02X, the panel 0x%02X; 2 "
                  "of 8 pages differ\n",
                  image[6 * 256 + 255], image[7 * 256 + 255]);
    EXPECT_EQ(runOn(*panels, kTool, {"verify-firmware", "last-bytes.s19"}).run.out, mismatch);

    ASSERT_EQ(runOn(*panels, kTool, {"load-language", "lang.bin"}).run.exitStatus, 0);
    Bytes changed = language;
    changed[255 * 256 + 255] ^= 0x10;
    scratch.write("last-byte.bin", changed);
    std::snprintf(mismatch, sizeof mismatch,
                  "mismatch: serial flash page 287 differs first, at offset 0xFF: the file has 0x%02X, the panel "
                  "0x%02X; 1 of 257 pages differ\n",
                  changed[255 * 256 + 255], language[255 * 256 + 255]);
    EXPECT_EQ(runOn(*panels, kTool, {"verify-language", "last-byte.bin"}).run.out, mismatch);
    EXPECT_EQ(runOn(*panels, kTool, {"save-language", "saved.bin"}).run.out,
              "saved the panel's language (65792 bytes) to saved.bin\n");
    EXPECT_EQ(fileText("saved.bin"), std::string(language.begin(), language.end()).replace(0x10004, 1, 1, '\x01'));
}

} // namespace
