// panel_flasher end to end: the real program against the emulated panel.
#include <algorithm>
#include <chrono>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kProgram = PANEL_FLASHER_PATH;

// Frames of a run: the ping, the RAM driver's pages, initialise, 120
// erases, the page writes. Every driver request is answered by a reply
// frame: two IN transfers.
constexpr int kInitFrame = 1 + kDriverPages;
constexpr int kFirstEraseFrame = kInitFrame + 1;
constexpr int kFirstWriteFrame = kFirstEraseFrame + 120;
constexpr int kInitReplyIn = 3;

std::string spinnerSteps(int n) { return testing_support::spinnerSteps(n, "  \r"); }

class PanelFlasher : public ProgramTest {
protected:
    ProgramResult flash(const std::string &firmware, emu::UsbFaults uf = {}, emu::ModelFaults mf = {})
    {
        scratch.write("fw.s19", firmware);
        return run(kProgram, {"fw.s19"}, uf, mf);
    }
    // A small image, so that fault runs stay short: pages 64 to 71.
    std::string smallFirmware() const { return samples::firmware(0x4000, 0x47FF, 8); }
};

// The fixture checks, for this and every successful run, that the flash
// holds the image and its checksum word and that the bootloader's area
// below 0x4000 is as it was.
TEST_F(PanelFlasher, FullImage)
{
    const Bytes image = srec::patternBytes(0x3C000, 5);
    const auto r = flash(srec::file('3', 0x4000, image, 32));
    EXPECT_EQ(r.run.exitStatus, 1);
    EXPECT_EQ(r.run.out, spinnerSteps(960) + "Panel OK!!! :)\n");
    EXPECT_EQ(r.run.err, "");
    EXPECT_EQ(r.model.sectorsErased, range(8, 127));
    EXPECT_EQ(r.model.flashPagesWritten, range(64, 1023));

    // The spinner reaches a terminal as it turns, not all at the end.
    EXPECT_GE(r.framesAtFirstOutput, kFirstWriteFrame + 1);
    EXPECT_LT(r.framesAtFirstOutput, kFirstWriteFrame + 480);

    const auto frames = hostFrames(r.model);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(kFirstWriteFrame + 960));
    EXPECT_EQ(frames[kInitFrame], (Bytes{0x02, 0x00}));
    for (int s = 8; s <= 127; ++s)
        EXPECT_EQ(frames[kFirstEraseFrame + s - 8], (Bytes{0x02, 0x01, uint8_t(s), 0x01})) << "sector " << s;
    for (int p = 64; p <= 1023; ++p)
        ASSERT_EQ(frames[kFirstWriteFrame + p - 64],
                  cat({0x02, 0x02, uint8_t(p >> 8), uint8_t(p)}, page(r.model.panelFlash(), p)))
            << "page " << p;
}

// The checksum word at 0x4200 lies in the third firmware page: an image
// that ends before it still gets pages 64 to 66, or the panel would not
// boot.
TEST_F(PanelFlasher, ImageEndingBelowTheChecksumWordStillFlashesIt)
{
    for (uint32_t last : {0x40FFu, 0x4000u, 0x4202u}) {
        const auto r = flash(samples::firmware(0x4000, last, 3));
        EXPECT_EQ(r.run.exitStatus, 1) << last;
        EXPECT_EQ(r.run.out, spinnerSteps(3) + "Panel OK!!! :)\n");
        EXPECT_EQ(r.model.flashPagesWritten, range(64, 66));
    }
}

// Erasing for such a file would wipe the panel's firmware and then report
// success with nothing written: it is the wrong file, refused untouched.
TEST_F(PanelFlasher, FileWithoutDataInTheRangeIsRefusedBeforeAnyErase)
{
    for (const std::string &text : {samples::firmware(0x40000, 0x400FF, 1) + samples::firmware(0x3F00, 0x3FFF, 2),
                                    srec::file('1', 0x4000, srec::patternBytes(0x100, 3)), std::string()}) {
        const auto r = flash(text);
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, "ERROR: al cargar el archivo binario\n");
        EXPECT_EQ(r.run.err, "panel_flasher: \"fw.s19\" holds no S3 data in 0x4000-0x3FFFF\n");
        EXPECT_TRUE(r.model.sectorsErased.empty());
    }
}

// Counting pages over the span from the lowest address would give 4 pages,
// 64 to 67, and leave the whole image unwritten.
TEST_F(PanelFlasher, ImageStartingAboveTheRangeIsWrittenToItsEnd)
{
    const Bytes image = srec::patternBytes(0x301, 6);
    const auto r = flash(srec::file('3', 0x4480, image));
    EXPECT_EQ(r.run.exitStatus, 1);
    EXPECT_EQ(r.model.flashPagesWritten, range(64, 71));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), r.model.panelFlash().begin() + 0x4480));
}

TEST_F(PanelFlasher, WrongArgumentCount)
{
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"a.s19", "b.s19"}}) {
        const auto r = run(kProgram, args);
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, "ERROR: No existe fichero .s19\n");
        EXPECT_TRUE(noUsbAccess(r));
    }
}

TEST_F(PanelFlasher, NoPanel)
{
    emu::UsbFaults uf;
    uf.noPanel = true;
    const auto r = flash(smallFirmware(), uf);
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: No encuentra el driver\n");
}

TEST_F(PanelFlasher, BootloaderSilentAfterItsHeader)
{
    const auto r = flash(smallFirmware(), failIn(2, emu::TransferFault::Stall));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: No encuentra el bootloader\n");
}

TEST_F(PanelFlasher, DriverFileMissing)
{
    std::remove(scratch.path("cf_flash.S19").c_str());
    const auto r = flash(smallFirmware());
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: al cargar el flasher\n");
    EXPECT_EQ(hostFrames(r.model).size(), 1u);
}

// The firmware is read only after the driver is in RAM, and nothing is
// erased for a file that does not load.
TEST_F(PanelFlasher, FirmwareWithABadRecord)
{
    std::string text = smallFirmware();
    text[text.find("S3", 1000) + 30] = 'G';
    for (const std::string &firmware : {text, std::string("S30900004000010203")}) {
        const auto r = flash(firmware);
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, "ERROR: al cargar el archivo binario\n");
        EXPECT_EQ(r.model.ramPagesWritten, range(0, kDriverPages - 1));
        EXPECT_EQ(hostFrames(r.model).size(), static_cast<std::size_t>(kInitFrame));
    }
    const auto missing = run(kProgram, {"missing.s19"});
    EXPECT_EQ(missing.run.out, "ERROR: al cargar el archivo binario\n");
    EXPECT_EQ(missing.run.exitStatus, 0);
}

// A failed sequence leaves the panel erased or half written: exit 0.
TEST_F(PanelFlasher, InitialiseUnanswered)
{
    const auto r = flash(smallFirmware(), failIn(kInitReplyIn));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "Error: al iniciar el flash driver\n");
    EXPECT_TRUE(r.model.sectorsErased.empty());
}

// The one test that waits out the link's real 5 s time-out.
TEST_F(PanelFlasher, InitialiseReplyNeverComes)
{
    const auto start = std::chrono::steady_clock::now();
    const auto r = flash(smallFirmware(), failIn(kInitReplyIn, emu::TransferFault::Never));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "Error: al iniciar el flash driver\n");
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::milliseconds(9000));
}

TEST_F(PanelFlasher, EraseFailsAtSector20)
{
    const auto r = flash(smallFirmware(), failOut(headerOut(kFirstEraseFrame + 12)));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: al borrar el flash\n");
    EXPECT_EQ(r.model.sectorsErased, range(8, 19));
    EXPECT_TRUE(r.model.flashPagesWritten.empty());
}

TEST_F(PanelFlasher, PageWriteFailsAtTheSixthPage)
{
    const auto r = flash(smallFirmware(), failOut(payloadOut(kFirstWriteFrame + 5), emu::TransferFault::Stall));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, spinnerSteps(5) + "\nERROR: al escribir el flash\n");
    EXPECT_EQ(r.model.flashPagesWritten, range(64, 68));
}

} // namespace
