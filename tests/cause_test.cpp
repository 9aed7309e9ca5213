// The cause line on standard error: one line, naming the program, that says
// why a run failed, while standard output stays exactly the message.
#include <cerrno>
#include <functional>

#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kLangLoader = LANG_LOADER_PATH;
const std::string kPanelFlasher = PANEL_FLASHER_PATH;

struct CauseCase {
    std::string name;
    std::string program;
    emu::UsbFaults faults;
    std::function<void(const Scratch &)> prepare;  // may spoil a file
    std::string out;
    std::string err;
    emu::ModelFaults model = {};
};

// ctest lists the case by its name, not by its bytes.
void PrintTo(const CauseCase &c, std::ostream *os) { *os << c.name; }

emu::UsbFaults usb(const std::function<void(emu::UsbFaults &)> &set)
{
    emu::UsbFaults f;
    set(f);
    return f;
}

emu::UsbFaults outFault(int n, emu::TransferFault kind)
{
    return usb([&](emu::UsbFaults &f) {
        f.outFault = kind;
        f.outFaultAt = n;
    });
}

void spoilLine3(const Scratch &scratch, const std::string &file)
{
    std::string text = samples::ramDriver(emu::kSerialDriverTag, 0x300, 5);
    const std::size_t line3 = text.find('\n', text.find('\n') + 1) + 1;
    text[line3 + 12] = 'x';
    scratch.write(file, text);
}

const std::string kLangBusy = "ERROR: no se puede iniciar driver\n";
const std::string kLangSpinner = spinnerSteps(4, "   :) \r");

const std::vector<CauseCase> kCases{
    {"LangLoaderWithoutPermission", kLangLoader,
     usb([](emu::UsbFaults &f) { f.configErrno = EPERM; }), nullptr, kLangBusy,
     "could not select the panel's configuration 1: permission denied: install the udev rule and join "
     "group plugdev, or log in at the machine, or run as root"},
    {"PanelFlasherNodeUnopenable", kPanelFlasher, usb([](emu::UsbFaults &f) { f.openRefused = true; }),
     nullptr, "ERROR: No encuentra el driver\n",
     "could not select the panel's configuration 1: the panel's device node could not be opened: "
     "install the udev rule and join group plugdev, or log in at the machine, or run as root"},
    {"PanelFlasherClaimBusy", kPanelFlasher, usb([](emu::UsbFaults &f) { f.claimErrno = EBUSY; }),
     nullptr, "ERROR: No encuentra el driver\n",
     "could not claim the panel's interface 0: busy: another program holds the panel"},
    // Listed in sysfs but not by libusb: what a user without access sees.
    {"LangLoaderWithoutAccess", kLangLoader, usb([](emu::UsbFaults &f) { f.noAccess = true; }), nullptr,
     kLangBusy,
     "the panel (USB 15a2:0040) is connected, but this user may not open it: install the udev rule "
     "and join group plugdev, or log in at the machine, or run as root"},
    {"PanelFlasherEmptyPingReply", kPanelFlasher, {}, nullptr, "ERROR: No encuentra el bootloader\n",
     "pinging the bootloader: the panel answered the ping with an empty frame, not its bootloader's \"B\"",
     [] {
         emu::ModelFaults f;
         f.ping = emu::PingReply::Empty;
         return f;
     }()},
    {"LangLoaderNoPanel", kLangLoader, usb([](emu::UsbFaults &f) { f.noPanel = true; }), nullptr,
     kLangBusy, "no USB device 15a2:0040 found: is the panel plugged in and in its bootloader?"},
    // OUT 20 is the payload of the fifth data page's frame.
    {"LangLoaderUnpluggedMidRun", kLangLoader, outFault(20, emu::TransferFault::Gone), nullptr,
     kLangSpinner + "ERROR: fallo al escribir en la EEPROM",
     "writing serial flash page 36: sending to the panel failed: nothing moved: the panel stalled "
     "the transfer or was unplugged (0 of 260 bytes)"},
    {"PanelFlasherStalledErase", kPanelFlasher, outFault(11, emu::TransferFault::Stall), nullptr,
     "ERROR: al borrar el flash\n",
     "erasing flash sector 8: sending to the panel failed: nothing moved: the panel stalled the "
     "transfer or was unplugged (0 of 2 bytes)"},
    // OUT 8 is the payload of the frame of RAM driver page 2.
    {"PanelFlasherUnpluggedDuringRamPage2", kPanelFlasher, outFault(8, emu::TransferFault::Gone), nullptr,
     "ERROR: al cargar el flasher\n",
     "sending RAM driver page 2: sending to the panel failed: nothing moved: the panel stalled the transfer or "
     "was unplugged (0 of 258 bytes)"},
    {"LangLoaderBadDriverRecord", kLangLoader, {},
     [](const Scratch &s) { spoilLine3(s, "serial_flash.S19"); }, "ERROR: driver serie no cargado\n",
     "\"serial_flash.S19\" line 3: bad S-record"},
    {"PanelFlasherBadDriverRecord", kPanelFlasher, {},
     [](const Scratch &s) { spoilLine3(s, "cf_flash.S19"); }, "ERROR: al cargar el flasher\n",
     "\"cf_flash.S19\" line 3: bad S-record"},
    {"PanelFlasherMissingDriver", kPanelFlasher, {},
     [](const Scratch &s) { std::remove(s.path("cf_flash.S19").c_str()); },
     "ERROR: al cargar el flasher\n", "cannot open \"cf_flash.S19\": No such file or directory"},
    {"LangLoaderShortFile", kLangLoader, {}, [](const Scratch &s) { s.write("input", Bytes(65791, 1)); },
     "ERROR: archivo de idiomas incompleto\n", "\"input\" is 65791 bytes; a language file has 65792"},
};

class Cause : public ProgramTest, public ::testing::WithParamInterface<CauseCase> {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        const CauseCase &c = GetParam();
        if (c.program == kLangLoader)
            scratch.write("input", samples::languageFile(3));
        else
            scratch.write("input", samples::firmware(0x4000, 0x47FF, 3));
        if (c.prepare)
            c.prepare(scratch);
    }
};

TEST_P(Cause, OneLineOnStandardErrorAndStandardOutputUnchanged)
{
    const CauseCase &c = GetParam();
    const auto r = run(c.program, {"input"}, c.faults, c.model);
    EXPECT_EQ(r.run.exitStatus, 0);
    EXPECT_EQ(r.run.out, c.out);
    const std::string name = c.program.substr(c.program.rfind('/') + 1);
    EXPECT_EQ(r.run.err, name + ": " + c.err + "\n");
}

INSTANTIATE_TEST_SUITE_P(Failures, Cause, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return info.param.name; });

} // namespace
