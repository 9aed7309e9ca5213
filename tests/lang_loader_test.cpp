// lang_loader end to end: the real program against the emulated panel.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kProgram = LANG_LOADER_PATH;
const std::string kArgumentsError = "ERROR en los par\xE1metros de entrada\n";

// Frames of a run: the ping, the RAM driver's pages, initialise, the data
// pages, the header.
constexpr int kInitFrame = 1 + kDriverPages;
constexpr int firstDataFrame() { return kInitFrame + 1; }
constexpr int kHeaderFrame = firstDataFrame() + 256;

std::string spinnerSteps(int n) { return testing_support::spinnerSteps(n, "   :) \r"); }

class LangLoader : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        scratch.write("lang.bin", language);
    }
    ProgramResult load(emu::UsbFaults uf = {}, emu::ModelFaults mf = {})
    {
        return run(kProgram, {"lang.bin"}, uf, mf);
    }

    const Bytes language = samples::languageFile(7);
};

TEST_F(LangLoader, CompleteLoad)
{
    const auto r = load();
    // What the panel holds afterwards is checked for every successful run.
    EXPECT_EQ(r.run.exitStatus, 1);
    EXPECT_EQ(r.run.out, spinnerSteps(256) + "Lenguaje cargado correctamente :)\n");
    EXPECT_EQ(r.run.err, "");
    Bytes header = page(language, 256);
    header[4] = 0x01;

    // Ping, driver pages 0-2, initialise, pages 32-287, header last.
    const auto frames = hostFrames(r.model);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(kHeaderFrame + 1));
    EXPECT_EQ(frames[0], Bytes{0x00});
    for (int i = 0; i < kDriverPages; ++i)
        EXPECT_EQ(Bytes(frames[1 + i].begin(), frames[1 + i].begin() + 2), (Bytes{0x01, uint8_t(i)}));
    EXPECT_EQ(Bytes(frames[1].begin() + 2, frames[1].begin() + 18),
              Bytes(emu::kSerialDriverTag, emu::kSerialDriverTag + 16));
    EXPECT_EQ(frames[kInitFrame], (Bytes{0x02, 0x00}));
    EXPECT_EQ(frames[firstDataFrame()], cat({0x02, 0x01, 0x00, 0x20}, page(language, 0)));
    EXPECT_EQ(Bytes(frames[kHeaderFrame - 1].begin(), frames[kHeaderFrame - 1].begin() + 4),
              (Bytes{0x02, 0x01, 0x01, 0x1F}));
    EXPECT_EQ(frames[kHeaderFrame], cat({0x02, 0x01, 0x00, 0x01}, header));
    EXPECT_EQ(r.model.serialPagesWritten.back(), 1);
    // No request of this driver is answered, and none is waited for.
    EXPECT_EQ(std::count_if(r.wire.begin(), r.wire.end(), [](auto &e) { return e.op == "IN"; }), 2);
    // The spinner reaches a terminal as it turns, not all at the end.
    EXPECT_GE(r.framesAtFirstOutput, firstDataFrame() + 1);
    EXPECT_LT(r.framesAtFirstOutput, firstDataFrame() + 128);
}

TEST_F(LangLoader, WrongArgumentCount)
{
    for (const auto &args : {std::vector<std::string>{}, std::vector<std::string>{"lang.bin", "lang.bin"}}) {
        const auto r = run(kProgram, args);
        EXPECT_EQ(r.run.exitStatus, 0);
        EXPECT_EQ(r.run.out, kArgumentsError);
        EXPECT_TRUE(noUsbAccess(r));
    }
}

TEST_F(LangLoader, MissingFileIsNamedAsTyped)
{
    const auto r = run(kProgram, {"./no%sfile%n.bin"});
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: No se encuentra el archivo de idiomas./no%sfile%n.bin\n");
    EXPECT_TRUE(noUsbAccess(r));
}

// Without the check the missing bytes would go to the panel as whatever
// the page buffer held before.
TEST_F(LangLoader, ShortFileOrDirectoryIsRefusedBeforeThePanelIsTouched)
{
    scratch.write("short.bin", Bytes(language.begin(), language.end() - 1));
    mkdir(scratch.path("folder").c_str(), 0700);
    for (const char *arg : {"short.bin", "folder"}) {
        const auto r = run(kProgram, {arg});
        EXPECT_EQ(r.run.exitStatus, 0) << arg;
        EXPECT_EQ(r.run.out, "ERROR: archivo de idiomas incompleto\n") << arg;
        EXPECT_TRUE(noUsbAccess(r)) << arg;
    }
    EXPECT_EQ(run(kProgram, {"short.bin"}).run.err, "lang_loader: \"short.bin\" is 65791 bytes; a language file has 65792\n");
    EXPECT_EQ(run(kProgram, {"folder"}).run.err, "lang_loader: \"folder\" is not a regular file\n");
}

// Complete when the run began, cut within its header while the data pages
// go out: the header is not sent with stale bytes, nor marked as loaded.
TEST_F(LangLoader, FileCutDuringTheRunLeavesTheHeaderAlone)
{
    emu::UsbPanel panel(emu::RamDriver::Auto, {}, {}, emu::PanelStart::Used);
    std::atomic<bool> ended{false};
    std::thread cutter([&] {
        while (!ended && panel.hostFramesReceived() <= static_cast<std::size_t>(firstDataFrame()))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        truncate(scratch.path("lang.bin").c_str(), 0x10000 + 100);
    });
    const auto r = runOn(panel, kProgram, {"lang.bin"});
    ended = true;
    cutter.join();
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, spinnerSteps(256) + "ERROR: archivo de idiomas incompleto\n");
    EXPECT_EQ(r.run.err, "lang_loader: \"lang.bin\" ended at byte 65636 during the run: it was changed or cut\n");
    EXPECT_EQ(r.model.serialPagesWritten, range(32, 287));
    EXPECT_EQ(page(r.model.serialFlash(), 1), page(r.model.serialFlashBefore(), 1));
}

TEST_F(LangLoader, LongerFileLoadsItsFirst65792Bytes)
{
    scratch.write("lang.bin", cat(language, Bytes(100, 0x5A)));
    const auto r = load();
    EXPECT_EQ(r.run.exitStatus, 1);
    EXPECT_EQ(page(r.model.serialFlash(), 287), page(language, 255));
}

TEST_F(LangLoader, NoPanel)
{
    emu::UsbFaults uf;
    uf.noPanel = true;
    const auto r = load(uf);
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: no se puede iniciar driver\n");
}

TEST_F(LangLoader, BootloaderDoesNotAnswerB)
{
    emu::ModelFaults mf;
    mf.ping = emu::PingReply::OtherFirstByte;
    const auto r = load({}, mf);
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: no se puede conectar con el bootloader\n");
    EXPECT_EQ(hostFrames(r.model).size(), 1u);
}

TEST_F(LangLoader, DriverFileMissing)
{
    std::remove(scratch.path("serial_flash.S19").c_str());
    const auto r = load();
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: driver serie no cargado\n");
    EXPECT_EQ(r.model.pings, 1);
    EXPECT_EQ(hostFrames(r.model).size(), 1u);
}

TEST_F(LangLoader, InitialiseLost)
{
    const auto r = load(failOut(headerOut(kInitFrame)));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "FAIL: SERIAL FLASH NOT INITIALIZED\n");
    EXPECT_EQ(r.model.ramPagesWritten, range(0, kDriverPages - 1));
    EXPECT_TRUE(r.model.serialPagesWritten.empty());
}

// The message overwrites the spinner line and has no line end of its own.
TEST_F(LangLoader, PanelUnpluggedDuringPage17)
{
    const auto r = load(failOut(payloadOut(firstDataFrame() + 17)));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, spinnerSteps(17) + "ERROR: fallo al escribir en la EEPROM");
    EXPECT_EQ(r.model.serialPagesWritten, range(32, 48));
    EXPECT_EQ(page(r.model.serialFlash(), 48), page(language, 16));
    EXPECT_EQ(page(r.model.serialFlash(), 49), page(r.model.serialFlashBefore(), 49));
    EXPECT_EQ(page(r.model.serialFlash(), 1), page(r.model.serialFlashBefore(), 1));

    // On a terminal the cause line comes first, on a line of its own, and
    // the message without a line end overwrites the spinner after it.
    errorIntoOutput = true;
    const auto shown = load(failOut(payloadOut(firstDataFrame() + 17)));
    EXPECT_EQ(shown.run.out, spinnerSteps(17) + "lang_loader: writing serial flash page 49: sending to the panel "
                                                 "failed: " + brokenTransfer(emu::TransferFault::Gone, 260) +
                                 "\nERROR: fallo al escribir en la EEPROM");
}

TEST_F(LangLoader, FirstDataPageStalls)
{
    const auto r = load(failOut(headerOut(firstDataFrame()), emu::TransferFault::Stall));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, "ERROR: fallo al escribir en la EEPROM");
    EXPECT_TRUE(r.model.serialPagesWritten.empty());
}

TEST_F(LangLoader, HeaderLost)
{
    const auto r = load(failOut(payloadOut(kHeaderFrame)));
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, spinnerSteps(256) + "ERROR: fallo al escribir la cabecera\n");
    EXPECT_EQ(r.model.serialPagesWritten, range(32, 287));
    EXPECT_EQ(page(r.model.serialFlash(), 1), page(r.model.serialFlashBefore(), 1));
}

} // namespace
