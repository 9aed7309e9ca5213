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
    // What libusb-compat lets the program say instead, when it differs.
    std::string compatErr = {};
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
const std::string kFlasherBusy = "ERROR: No encuentra el driver\n";
const std::string kLangSpinner = spinnerSteps(4, "   :) \r");
const std::string kPermissionDenied = "permission denied: install the udev rule and join group plugdev, or log in at "
                                      "the machine, or run as root";

const std::vector<CauseCase> kCases{
    // The node stops being writable when the configuration is asked for.
    {"LangLoaderWithoutPermission", kLangLoader, usb([](emu::UsbFaults &f) { f.configErrno = EPERM; }), nullptr,
     kLangBusy, "could not select the panel's configuration 1: " + kPermissionDenied},
    // Debian's 0664 node without our rule: libusb-0.1.12 opens it for
    // reading only; libusb-compat, which opens only for writing, cannot.
    {"LangLoaderWithAReadOnlyNode", kLangLoader, usb([](emu::UsbFaults &f) { f.readOnlyNode = true; }), nullptr,
     kLangBusy, "could not select the panel's configuration 1: " + kPermissionDenied, {}, kNoAccessCause},
    {"PanelFlasherNodeUnopenable", kPanelFlasher, usb([](emu::UsbFaults &f) { f.openRefused = true; }), nullptr,
     kFlasherBusy,
     "could not select the panel's configuration 1: the panel's device node could not be opened: "
     "install the udev rule and join group plugdev, or log in at the machine, or run as root",
     {}, kNoAccessCause},
    {"PanelFlasherClaimBusy", kPanelFlasher, usb([](emu::UsbFaults &f) { f.claimErrno = EBUSY; }), nullptr,
     kFlasherBusy, "could not claim the panel's interface 0: busy: another program holds the panel"},
    {"PanelFlasherWithoutConfiguration1", kPanelFlasher, usb([](emu::UsbFaults &f) { f.configErrno = EINVAL; }),
     nullptr, kFlasherBusy,
     "could not select the panel's configuration 1: the device has no such configuration: is it the panel's "
     "bootloader?"},
    // Listed in sysfs, node mode 0000: what a user without access sees.
    {"LangLoaderWithoutAccess", kLangLoader, usb([](emu::UsbFaults &f) { f.noAccess = true; }), nullptr,
     kLangBusy, kNoAccessCause},
    {"PanelFlasherEmptyPingReply", kPanelFlasher, {}, nullptr, "ERROR: No encuentra el bootloader\n",
     "pinging the bootloader: the panel answered the ping with an empty frame, not its bootloader's \"B\"",
     [] {
         emu::ModelFaults f;
         f.ping = emu::PingReply::Empty;
         return f;
     }()},
    // The ping's reply header and payload in one packet: libusb-0.1.12
    // takes the two bytes that fit and then waits for a payload that has
    // gone (5 s); libusb-compat sees the overflow.
    {"PanelFlasherPingReplyOverflows", kPanelFlasher,
     usb([](emu::UsbFaults &f) {
         f.inFault = emu::TransferFault::Overflow;
         f.inFaultAt = 1;
     }),
     nullptr, "ERROR: No encuentra el bootloader\n",
     "pinging the bootloader: receiving from the panel failed: no answer within 5 s", {},
     "pinging the bootloader: receiving from the panel failed: the panel sent more than the 2 bytes asked for"},
    {"LangLoaderNoPanel", kLangLoader, usb([](emu::UsbFaults &f) { f.noPanel = true; }), nullptr,
     kLangBusy, "no USB device 15a2:0040 found: is the panel plugged in and in its bootloader?"},
    // OUT 20 is the payload of the fifth data page's frame.
    {"LangLoaderUnpluggedMidRun", kLangLoader, outFault(20, emu::TransferFault::Gone), nullptr,
     kLangSpinner + "ERROR: fallo al escribir en la EEPROM",
     "writing serial flash page 36: sending to the panel failed: " +
         brokenTransfer(emu::TransferFault::Gone, 260)},
    {"PanelFlasherStalledErase", kPanelFlasher, outFault(11, emu::TransferFault::Stall), nullptr,
     "ERROR: al borrar el flash\n",
     "erasing flash sector 8: sending to the panel failed: " + brokenTransfer(emu::TransferFault::Stall, 2)},
    // A garbled transfer with the panel still attached is the cable, not
    // an unplug; libusb-0.1.12 tells it from neither.
    {"PanelFlasherBusErrorWithThePanelAttached", kPanelFlasher, outFault(11, emu::TransferFault::BusError), nullptr,
     "ERROR: al borrar el flash\n",
     "erasing flash sector 8: sending to the panel failed: " + brokenTransfer(false, emu::TransferFault::Gone, 2), {},
     "erasing flash sector 8: sending to the panel failed: the transfer broke off with an error on the bus: check "
     "the cable"},
    // Unplugged with the transfer on the bus, which the controller ends
    // with a bus error before the kernel notices the panel has gone.
    {"LangLoaderUnpluggedDuringABusError", kLangLoader, outFault(20, emu::TransferFault::GoneWithBusError), nullptr,
     kLangSpinner + "ERROR: fallo al escribir en la EEPROM",
     "writing serial flash page 36: sending to the panel failed: " +
         brokenTransfer(emu::TransferFault::Gone, 260)},
    // OUT 8 is the payload of the frame of RAM driver page 2.
    {"PanelFlasherUnpluggedDuringRamPage2", kPanelFlasher, outFault(8, emu::TransferFault::Gone), nullptr,
     "ERROR: al cargar el flasher\n",
     "sending RAM driver page 2: sending to the panel failed: " + brokenTransfer(emu::TransferFault::Gone, 258)},
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
    EXPECT_EQ(r.run.err, name + ": " + (underCompat() && !c.compatErr.empty() ? c.compatErr : c.err) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Failures, Cause, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return info.param.name; });

} // namespace
