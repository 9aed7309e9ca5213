// Every transfer of a complete run, failed in turn (the panel unplugged, or
// the endpoint stalled): each time the program reports the step that
// failed, exits 0, sends nothing more, and leaves no language header or
// flash page that the steps before it did not justify. Within the 256
// language data pages and the 120 erases, one request in eight between the
// first and last two.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <tuple>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kLangLoader = LANG_LOADER_PATH;
const std::string kPanelFlasher = PANEL_FLASHER_PATH;

// A run of consecutive frames (or reply frames) that one step sends, and
// what standard output holds when the i-th of them fails.
struct Step {
    int frames;
    std::function<std::string(int i)> out;
    // Within a long run of frames that repeat one request, every transfer
    // of the first and last two frames is swept, and between them those of
    // every `every`-th frame: the middle ones fail alike, and each point
    // replays the whole run before it.
    int every = 1;
};

std::function<std::string(int)> says(const std::string &text)
{
    return [text](int) { return text; };
}

std::string langSpinner(int n) { return spinnerSteps(n, "   :) \r"); }
std::string flashSpinner(int n) { return spinnerSteps(n, "  \r"); }

const std::vector<Step> kLangLoaderOut{
    {1, says("ERROR: no se puede conectar con el bootloader\n")},
    {kDriverPages, says("ERROR: driver serie no cargado\n")},
    {1, says("FAIL: SERIAL FLASH NOT INITIALIZED\n")},
    {256, [](int i) { return langSpinner(i) + "ERROR: fallo al escribir en la EEPROM"; }, 8},
    {1, [](int) { return langSpinner(256) + "ERROR: fallo al escribir la cabecera\n"; }},
};
const std::vector<Step> kLangLoaderIn{
    {1, says("ERROR: no se puede conectar con el bootloader\n")},
};

constexpr int kFirmwarePages = 8;
const auto kWriteFails = [](int i) { return flashSpinner(i) + "\nERROR: al escribir el flash\n"; };
const std::vector<Step> kPanelFlasherOut{
    {1, says("ERROR: No encuentra el bootloader\n")},
    {kDriverPages, says("ERROR: al cargar el flasher\n")},
    {1, says("Error: al iniciar el flash driver\n")},
    {120, says("ERROR: al borrar el flash\n"), 8},
    {kFirmwarePages, kWriteFails},
};
// Every request but the driver's pages is answered.
const std::vector<Step> kPanelFlasherIn{
    {1, says("ERROR: No encuentra el bootloader\n")},
    {1, says("Error: al iniciar el flash driver\n")},
    {120, says("ERROR: al borrar el flash\n"), 8},
    {kFirmwarePages, kWriteFails},
};

// A frame is two transfers, its header and its payload.
std::string expectedOut(const std::vector<Step> &steps, int transfer)
{
    int frame = (transfer - 1) / 2;
    for (const Step &s : steps) {
        if (frame < s.frames)
            return s.out(frame);
        frame -= s.frames;
    }
    return "(beyond the run)";
}

// Whether the sweep fails transfer number `transfer` (see Step::every).
bool sweptPoint(const std::vector<Step> &steps, int transfer)
{
    int frame = (transfer - 1) / 2;
    for (const Step &s : steps) {
        if (frame < s.frames)
            return frame < 2 || frame >= s.frames - 2 || frame % s.every == 0;
        frame -= s.frames;
    }
    return true;
}

int transfers(const std::vector<Step> &steps)
{
    int frames = 0;
    for (const Step &s : steps)
        frames += s.frames;
    return 2 * frames;
}

struct Sweep {
    std::string name;
    bool langLoader;
    bool in;
    emu::TransferFault kind;
};

void PrintTo(const Sweep &s, std::ostream *os) { *os << s.name; }

class FaultSweep : public ProgramTest,
                   public ::testing::WithParamInterface<std::tuple<Sweep, int>> {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        scratch.write("lang.bin", samples::languageFile(9));
        scratch.write("fw.s19", samples::firmware(0x4000, 0x4000 + kFirmwarePages * 256 - 1, 9));
    }

    const std::vector<Step> &steps() const
    {
        const Sweep &s = std::get<0>(GetParam());
        if (s.langLoader)
            return s.in ? kLangLoaderIn : kLangLoaderOut;
        return s.in ? kPanelFlasherIn : kPanelFlasherOut;
    }

    ProgramResult runWithFault(int transfer)
    {
        const Sweep &s = std::get<0>(GetParam());
        emu::UsbFaults f;
        (s.in ? f.inFault : f.outFault) = s.kind;
        (s.in ? f.inFaultAt : f.outFaultAt) = transfer;
        return s.langLoader ? run(kLangLoader, {"lang.bin"}, f) : run(kPanelFlasher, {"fw.s19"}, f);
    }

    // Points can be thinned out (every Nth) for slow builds, such as the
    // sanitizer one, and the second library's run (every 8th unless told
    // otherwise); the first and last are always swept.
    static int stride()
    {
        const char *text = std::getenv("PANEL_SWEEP_STRIDE");
        if (text != nullptr && std::atoi(text) > 0)
            return std::atoi(text);
        return underCompat() ? 8 : 1;
    }
};

// The failed transfer is the last one on the wire.
void expectNothingAfterTheFault(const std::vector<emu::WireEntry> &wire, const std::string &outcome)
{
    const auto failed = std::find_if(wire.begin(), wire.end(),
                                     [&](const emu::WireEntry &e) { return e.outcome == outcome; });
    ASSERT_NE(failed, wire.end()) << "the fault was never reached";
    for (auto e = failed + 1; e != wire.end(); ++e)
        EXPECT_TRUE(e->op != "OUT" && e->op != "IN" && e->op != "SUBMIT") << e->text();
}

void expectNothingUnjustified(const ProgramResult &r, bool langLoader)
{
    if (langLoader) {
        // Every run here fails, so the header is never marked as loaded.
        const auto &written = r.model.serialPagesWritten;
        EXPECT_EQ(std::count(written.begin(), written.end(), 1), 0) << "header written";
        EXPECT_EQ(written, range(32, 32 + static_cast<int>(written.size()) - 1));
        return;
    }
    const auto &pages = r.model.flashPagesWritten;
    if (!pages.empty()) {
        EXPECT_EQ(r.model.sectorsErased, range(8, 127)) << "page written before every erase";
    }
    EXPECT_EQ(pages, range(64, 64 + static_cast<int>(pages.size()) - 1));
}

constexpr int kShards = 4;

TEST_P(FaultSweep, EveryTransferFailedInTurn)
{
    const Sweep &s = std::get<0>(GetParam());
    const int shard = std::get<1>(GetParam());
    const int points = transfers(steps());
    const std::string outcome = s.kind == emu::TransferFault::Gone ? "gone" : "stall";
    // libusb-0.1.12 reports both as nothing moved, as it does on the
    // kernel; libusb-compat tells them apart.
    const std::string cause = brokenTransfer(s.kind);
    int swept = 0;
    // Shards take every kShards-th point, so each spans the whole run.
    for (int k = 1 + shard; k <= points && !HasFailure(); k += kShards) {
        if (((k - 1) / kShards % stride() != 0 || !sweptPoint(steps(), k)) && k + kShards <= points)
            continue;
        SCOPED_TRACE(s.name + ", transfer " + std::to_string(k));
        const auto r = runWithFault(k);
        ++swept;
        EXPECT_EQ(r.run.signal, 0);
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, expectedOut(steps(), k));
        EXPECT_NE(r.run.err.find(cause), std::string::npos) << r.run.err;
        expectNothingAfterTheFault(r.wire, outcome);
        expectNothingUnjustified(r, s.langLoader);
    }
    std::printf("fault sweep: %s shard %d: %d points swept, %d survived\n", s.name.c_str(), shard,
                swept, HasFailure() ? swept - 1 : swept);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, FaultSweep,
    ::testing::Combine(
        ::testing::Values(Sweep{"LangLoaderOutGone", true, false, emu::TransferFault::Gone},
                          Sweep{"LangLoaderOutStall", true, false, emu::TransferFault::Stall},
                          Sweep{"LangLoaderInGone", true, true, emu::TransferFault::Gone},
                          Sweep{"LangLoaderInStall", true, true, emu::TransferFault::Stall},
                          Sweep{"PanelFlasherOutGone", false, false, emu::TransferFault::Gone},
                          Sweep{"PanelFlasherOutStall", false, false, emu::TransferFault::Stall},
                          Sweep{"PanelFlasherInGone", false, true, emu::TransferFault::Gone},
                          Sweep{"PanelFlasherInStall", false, true, emu::TransferFault::Stall}),
        ::testing::Range(0, kShards)),
    [](const auto &info) {
        return std::get<0>(info.param).name + "_" + std::to_string(std::get<1>(info.param));
    });

// The plan above is a complete run's: the same run with no fault moves
// exactly that many transfers each way and succeeds.
TEST_F(ProgramTest, SweepPlansMatchCompleteRuns)
{
    scratch.write("lang.bin", samples::languageFile(9));
    scratch.write("fw.s19", samples::firmware(0x4000, 0x4000 + kFirmwarePages * 256 - 1, 9));
    auto count = [](const ProgramResult &r, const char *op) {
        return std::count_if(r.wire.begin(), r.wire.end(), [&](const emu::WireEntry &e) { return e.op == op; });
    };
    const auto lang = run(kLangLoader, {"lang.bin"});
    EXPECT_EQ(lang.run.exitStatus, 1);
    EXPECT_EQ(count(lang, "OUT"), transfers(kLangLoaderOut));
    EXPECT_EQ(count(lang, "IN"), transfers(kLangLoaderIn));
    const auto flash = run(kPanelFlasher, {"fw.s19"});
    EXPECT_EQ(flash.run.exitStatus, 1);
    EXPECT_EQ(count(flash, "OUT"), transfers(kPanelFlasherOut));
    EXPECT_EQ(count(flash, "IN"), transfers(kPanelFlasherIn));
}

} // namespace
