// The real programs, installed from the .deb as a technician installs
// them, against panel_gadget on the real kernel USB stack (dummy_hcd and
// FunctionFS in a virtual machine). Every scenario is judged as the
// emulator tests judge theirs (output, exit status, cause line, what the
// panel holds) and run again against the umockdev panel, which must agree:
// where the two stand-ins differ, the kernel is right.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <tuple>
#include <fstream>
#include <sstream>

#include "emulator/capture/usb_capture.h"
#include "tests/programs.h"
#include "tests/watch_judge.h"

using namespace testing_support;

namespace {

const std::string kBuildDir = PANEL_BUILD_DIR;
const std::string kSourceDir = PANEL_SOURCE_DIR;

// How a scenario's output is judged: byte for byte; by its beginning (a
// result line ends with the seconds it took); or as a listing of the
// panels, a line for each starting with its port and showing its access
// (`out` holds the access of each: "yes yes").
enum class Judge { Exact, Prefix, Listing };

struct KernelScenario {
    std::string name;
    std::string program;  // lang_loader, panel_flasher or panel_readback
    std::string args;     // its arguments, the files in the working folder
    // plugtech: in group plugdev, which the installed udev rule opens the
    // panel to; tech: not; root.
    std::string user;
    std::string setup;    // usbtest, two-panels, readonly-node
    std::string speed;    // high or full
    int status;
    std::string out;      // standard output, byte for byte
    std::string cause;    // what the line on standard error says after "program: "
    emu::UsbFaults usb;   // the faults, on the umockdev panel and the gadget alike
    emu::ModelFaults model = {};
    std::string then = {};  // a second program on the same panel, and how it ends
    int thenStatus = 0;
    std::string thenOut = {};
    std::string compatCause = {};  // what libusb-compat lets it say instead, when it differs
    Judge judge = Judge::Exact;
    // After success the panel holds the file, unless the panel is known to
    // keep a wrong byte that the program cannot see.
    bool holdsFile = true;
    // What the panel was sent over the whole scenario, as panel_gadget
    // counts it (summary.txt), when the scenario is about that.
    std::string summary = {};
};

void PrintTo(const KernelScenario &s, std::ostream *os) { *os << s.name; }

template <typename F> emu::UsbFaults usb(F set)
{
    emu::UsbFaults f;
    set(f);
    return f;
}

// The Nth IN or OUT transfer fails.
emu::UsbFaults failing(bool in, int at, emu::TransferFault kind)
{
    emu::UsbFaults f;
    (in ? f.inFault : f.outFault) = kind;
    (in ? f.inFaultAt : f.outFaultAt) = at;
    return f;
}

// The same faults as panel_gadget's options.
std::string gadgetOptions(const KernelScenario &sc)
{
    static const char *const kinds[] = {"", "gone", "stall", "never", "partial", "overflow", "bus-error", "gone-bus-error"};
    std::string options;
    if (sc.usb.inFault != emu::TransferFault::None)
        options += " --fail-in=" + std::to_string(sc.usb.inFaultAt) + ":" + kinds[int(sc.usb.inFault)];
    if (sc.usb.outFault != emu::TransferFault::None)
        options += " --fail-out=" + std::to_string(sc.usb.outFaultAt) + ":" + kinds[int(sc.usb.outFault)];
    if (sc.model.ping == emu::PingReply::OtherFirstByte)
        options += " --ping=other";
    if (sc.model.wornFlashPage >= 0)
        options += " --worn-page=" + std::to_string(sc.model.wornFlashPage);
    return options;
}

std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream line(text);
    for (std::string w; line >> w;)
        out.push_back(w);
    return out;
}

// The inputs, the same bytes in the machine and in the umockdev runs.
void writeInputs(const std::string &dir)
{
    const Bytes language = samples::languageFile(31);
    srec::writeText(dir + "/lang.bin", std::string(language.begin(), language.end()));
    srec::writeText(dir + "/small.s19", samples::firmware(0x4000, 0x47FF, 32));
    srec::writeText(dir + "/full.s19", samples::firmware(0x4000, 0x3FFFF, 33));
    // Two sectors, and the same with one byte of the second changed.
    Bytes two = srec::patternBytes(0x1000, 34);
    srec::writeText(dir + "/two.s19", srec::file('3', 0x4000, two));
    two[0xC10] ^= 0x01;
    srec::writeText(dir + "/two-one-byte.s19", srec::file('3', 0x4000, two));
}

const std::string kLangDone = spinnerSteps(256, "   :) \r") + "Lenguaje cargado correctamente :)\n";
const std::string kSmallDone = spinnerSteps(8, "  \r") + "Panel OK!!! :)\n";
const std::string kFullDone = spinnerSteps(960, "  \r") + "Panel OK!!! :)\n";
const std::string kPermissionDenied =
    "permission denied: install the udev rule and join group plugdev, or log in at the machine, or run as root";

// Frames of a flasher run with our 3-page driver: ping, 3 RAM pages,
// initialise, 120 erases, then the pages. IN transfers: 2 per reply.
constexpr int kFirstWriteFrame = 1 + kDriverPages + 1 + 120;

using emu::TransferFault;

// panel_tool watch on a bench of four panels, plugged in 0.4 s apart after
// it started; the first pulled out while its fifth flash page is on its
// way (after its language: ping, driver, initialise, 257 pages read,
// written and read back; then the firmware's ping, driver, initialise,
// 960 pages read and 120 erases) and plugged in again a second later. It
// holds the language then, which its next service finds.
const std::string kWatchScenario = "WatchServicesFourPanels";
constexpr int kLanguageLoadFrames = 1 + kDriverPages + 1 + 3 * 257;
constexpr int kToolFirstWriteFrame = 1 + kDriverPages + 1 + 960 + 120;

std::string watchScenarioFile(const std::string &library)
{
    const int pulledAt = 2 * kLanguageLoadFrames + payloadOut(kToolFirstWriteFrame + 4);
    return "program=panel_tool\nargs='watch --firmware small.s19 --language lang.bin'\nuser=plugtech\n"
           "gadget='--fail-out=" + std::to_string(pulledAt) + ":gone --replug-after=1000'\n"
           "panels=4\nservices=5\nstagger=400\nlibusb=" + library + "\n";
}

// panel_tool watch taking one panel at a time, at a real panel's pace;
// of three panels plugged in 0.4 s apart, the last is pulled out while it
// waits its turn, once the watch has told of it. The kernel's udev tells
// of the removal with no attribute left to say what the device was.
const std::string kWatchPullScenario = "WatchPullsAWaitingPanel";

std::string watchPullScenarioFile(const std::string &library)
{
    return "program=panel_tool\nargs='watch --jobs 1 --firmware small.s19'\nuser=plugtech\n"
           "gadget_all='--erase-ms=20 --program-ms=2'\npanels=3\nservices=2\nstagger=400\npull=2\nlibusb=" +
           library + "\n";
}

// How the kernel ended the transfer an unplug broke off, from the run's
// usbmon capture: ESHUTDOWN as a rule, EPROTO when the controller got to
// it before the disconnect was noticed. 0 when the capture shows neither.
int32_t unplugStatus(const std::string &capture)
{
    std::vector<emu::CapturedTransfer> transfers;
    std::vector<std::string> notes;
    std::string error;
    if (!emu::readCapture(capture, transfers, error) || !emu::selectPanel(transfers, "", notes, error))
        return 0;
    for (auto t = transfers.rbegin(); t != transfers.rend(); ++t)
        if (t->completed && (t->status == -ESHUTDOWN || t->status == -EPROTO))
            return t->status;
    return 0;
}

const std::vector<KernelScenario> kScenarios{
    {"LangLoaderHighSpeed", "lang_loader", "lang.bin", "plugtech", "", "high", 1, kLangDone, "", {}},
    {"PanelFlasherHighSpeed", "panel_flasher", "full.s19", "plugtech", "", "high", 1, kFullDone, "", {}},
    {"PanelFlasherSmallImage", "panel_flasher", "small.s19", "plugtech", "", "high", 1, kSmallDone, "", {}},
    {"FlashedThenVerified", "panel_flasher", "small.s19", "plugtech", "", "high", 1, kSmallDone, "", {}, {},
     "panel_readback verify-firmware small.s19", 0, "match: the panel's flash holds small.s19 (8 pages)\n"},
    {"PingAnsweredWithoutB", "panel_flasher", "small.s19", "plugtech", "", "high", 0,
     "ERROR: No encuentra el bootloader\n",
     "pinging the bootloader: the panel answered the ping with 0x62, not its bootloader's \"B\"", {},
     [] {
         emu::ModelFaults f;
         f.ping = emu::PingReply::OtherFirstByte;
         return f;
     }()},
    // The ping's reply header and payload in one packet.
    {"PingReplyOverflows", "panel_flasher", "small.s19", "plugtech", "", "high", 0,
     "ERROR: No encuentra el bootloader\n", "pinging the bootloader: receiving from the panel failed: no answer within 5 s",
     failing(true, 1, TransferFault::Overflow), {}, {}, 0, {},
     "pinging the bootloader: receiving from the panel failed: the panel sent more than the 2 bytes asked for"},
    {"EraseReplyStalls", "panel_flasher", "small.s19", "plugtech", "", "high", 0, "ERROR: al borrar el flash\n",
     "erasing flash sector 8: receiving from the panel failed: " + brokenTransfer(false, TransferFault::Stall, 2),
     failing(true, 5, TransferFault::Stall), {}, {}, 0, {},
     "erasing flash sector 8: receiving from the panel failed: " + brokenTransfer(true, TransferFault::Stall)},
    {"UnpluggedDuringTheSixthPage", "panel_flasher", "small.s19", "plugtech", "", "high", 0,
     spinnerSteps(5, "  \r") + "\nERROR: al escribir el flash\n",
     "writing flash page 69: sending to the panel failed: " + brokenTransfer(false, TransferFault::Gone, 260),
     failing(false, payloadOut(kFirstWriteFrame + 5), TransferFault::Gone), {}, {}, 0, {},
     "writing flash page 69: sending to the panel failed: " + brokenTransfer(true, TransferFault::Gone)},
    {"UnpluggedWhileAwaitingAnEraseReply", "panel_flasher", "small.s19", "plugtech", "", "high", 0,
     "ERROR: al borrar el flash\n",
     "erasing flash sector 10: receiving from the panel failed: " + brokenTransfer(false, TransferFault::Gone, 2),
     failing(true, 9, TransferFault::Gone), {}, {}, 0, {},
     "erasing flash sector 10: receiving from the panel failed: " + brokenTransfer(true, TransferFault::Gone)},
    {"InitialiseNeverAnswered", "panel_flasher", "small.s19", "plugtech", "", "high", 0,
     "Error: al iniciar el flash driver\n",
     "initialising the panel flash: receiving from the panel failed: no answer within 5 s",
     failing(true, 3, TransferFault::Never)},
    // At full speed the first 64-byte packet of a page leaves the host's
    // read waiting for the rest, which never comes.
    {"PageReadStopsAfterItsFirstPacket", "panel_readback", "verify-firmware small.s19", "plugtech", "", "full", 3,
     "", "reading flash page 64: receiving from the panel failed: no answer within 5 s",
     failing(true, 6, TransferFault::Partial), {}, {}, 0, {},
     "reading flash page 64: receiving from the panel failed: the panel stopped answering after 64 of 257 bytes: "
     "no answer within 5 s"},
    {"UserWithoutAccess", "lang_loader", "lang.bin", "tech", "", "high", 0,
     "ERROR: no se puede iniciar driver\n", kNoAccessCause,
     usb([](emu::UsbFaults &f) { f.noAccess = true; })},
    // Debian's default without our rule: the node is 0664 root:root.
    {"ReadOnlyNode", "lang_loader", "lang.bin", "tech", "readonly-node", "high", 0,
     "ERROR: no se puede iniciar driver\n", "could not select the panel's configuration 1: " + kPermissionDenied,
     usb([](emu::UsbFaults &f) { f.readOnlyNode = true; }), {}, {}, 0, {}, kNoAccessCause},
    {"RootUser", "panel_flasher", "small.s19", "root", "", "high", 1,
     kSmallDone, "", {}},
    {"KernelDriverBoundIsDetached", "panel_flasher", "small.s19", "plugtech", "usbtest", "high", 1,
     kSmallDone, "", usb([](emu::UsbFaults &f) { f.kernelDriver = true; })},
    {"TwoPanelsTheFirstListedIsUsed", "panel_flasher", "small.s19", "plugtech", "two-panels", "high", 1,
     kSmallDone, "", usb([](emu::UsbFaults &f) { f.secondPanel = true; })},
    {"LangLoaderFullSpeed", "lang_loader", "lang.bin", "plugtech", "", "full", 1, kLangDone, "", {}},
    {"PanelFlasherFullSpeed", "panel_flasher", "full.s19", "plugtech", "", "full", 1, kFullDone, "", {}},
    // panel_tool: the panels listed with their ports, the choice of one
    // among two, writes read back, a worn page caught.
    {"ToolListsTwoPanels", "panel_tool", "list", "plugtech", "two-panels", "high", 0, "yes yes", "",
     usb([](emu::UsbFaults &f) { f.secondPanel = true; }), {}, {}, 0, {}, {}, Judge::Listing},
    {"ToolListsAPanelWithoutAccess", "panel_tool", "list", "tech", "", "high", 0, "no", "",
     usb([](emu::UsbFaults &f) { f.noAccess = true; }), {}, {}, 0, {}, {}, Judge::Listing},
    {"ToolRefusesToGuessBetweenTwoPanels", "panel_tool", "flash small.s19", "plugtech", "two-panels", "high", 2, "",
     "2 panels are plugged in: choose one with --port (or --device):",
     usb([](emu::UsbFaults &f) { f.secondPanel = true; }), {}, {}, 0, {}, {}, Judge::Prefix},
    {"ToolFlashesTheSecondPanel", "panel_tool", "flash --port @PORT1@ small.s19", "plugtech", "two-panels", "high", 0,
     "flashed small.s19 to the panel at port @PORT1@ and verified it: 120 of 120 sectors differed, 8 pages written "
     "in ",
     "", usb([](emu::UsbFaults &f) { f.secondPanel = true; }), {}, {}, 0, {}, {}, Judge::Prefix},
    {"ToolFlashesAndVerifies", "panel_tool", "flash full.s19", "plugtech", "", "high", 0,
     "flashed full.s19 to the panel at port @PORT0@ and verified it: 120 of 120 sectors differed, 960 pages written "
     "in ",
     "", {}, {}, {}, 0, {}, {}, Judge::Prefix},
    {"ToolLoadsAndVerifies", "panel_tool", "load-language lang.bin", "plugtech", "", "high", 0,
     "loaded lang.bin into the panel at port @PORT0@ and verified it: 257 of 257 pages differed and were written in ",
     "", {}, {}, {}, 0, {}, {}, Judge::Prefix},
    // Read first: a panel that already holds the firmware is neither
    // erased nor written; one byte off costs its sector and the
    // checksum's.
    {"ToolFindsTheFirmwareAlreadyHeld", "panel_tool", "flash --full two.s19", "plugtech", "", "high", 0,
     "flashed two.s19 to the panel at port @PORT0@ and verified it: 16 pages in ", "", {}, {},
     "panel_tool flash two.s19", 0,
     "the panel at port @PORT0@ already holds two.s19: nothing erased or written (960 pages read in ", {},
     Judge::Prefix, true, "ram 6 0 2\nserial 0\nsectors 120 8 127\nflash 16 64 79\nboot passes\n"},
    {"ToolFlashesOneByteChanged", "panel_tool", "flash --full two.s19", "plugtech", "", "high", 0,
     "flashed two.s19 to the panel at port @PORT0@ and verified it: 16 pages in ", "", {}, {},
     "panel_tool flash two-one-byte.s19", 0,
     "flashed two-one-byte.s19 to the panel at port @PORT0@ and verified it: 2 of 120 sectors differed, 16 pages "
     "written in ",
     {}, Judge::Prefix, true, "ram 6 0 2\nserial 0\nsectors 122 8 9\nflash 32 64 79\nboot passes\n"},
    {"ToolCatchesAWornPage", "panel_tool", "flash small.s19", "plugtech", "", "high", 1,
     "mismatch: flash page 66 differs first, at offset 0x", "", {},
     [] {
         emu::ModelFaults f;
         f.wornFlashPage = 66;
         return f;
     }(),
     {}, 0, {}, {}, Judge::Prefix},
    {"PanelFlasherMissesAWornPage", "panel_flasher", "small.s19", "plugtech", "", "high", 1, kSmallDone, "", {},
     [] {
         emu::ModelFaults f;
         f.wornFlashPage = 66;
         return f;
     }(),
     {}, 0, {}, {}, Judge::Exact, false},
};

// The ports of a run's panels in a scenario's text.
std::string withPorts(std::string text, const std::vector<std::string> &ports)
{
    for (std::size_t i = 0; i < ports.size(); ++i)
        for (std::size_t at; (at = text.find("@PORT" + std::to_string(i) + "@")) != std::string::npos;)
            text.replace(at, 7, ports[i]);
    return text;
}

// What the program printed, judged as the scenario says; `ports` are the
// panels' ports in that run.
void expectOutput(const KernelScenario &sc, const std::string &cause, const std::vector<std::string> &ports,
                  const std::string &out, const std::string &err, const std::string &who)
{
    const std::string expectedErr = cause.empty() ? "" : sc.program + ": " + withPorts(cause, ports);
    if (sc.judge == Judge::Exact) {
        EXPECT_EQ(out, withPorts(sc.out, ports)) << who;
        EXPECT_EQ(err, expectedErr.empty() ? "" : expectedErr + "\n") << who;
        return;
    }
    EXPECT_EQ(err.rfind(expectedErr, 0), 0u) << who << ": " << err;
    if (expectedErr.empty()) {
        EXPECT_EQ(err, "") << who;
    }
    if (sc.judge == Judge::Prefix) {
        EXPECT_EQ(out.rfind(withPorts(sc.out, ports), 0), 0u) << who << ": " << out;
        return;
    }
    std::istringstream access(sc.out);
    for (const std::string &port : ports) {
        std::string expected;
        access >> expected;
        std::istringstream lines(out);
        bool listed = false;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string first, where, speed, unit, allowed;
            words >> first >> where >> speed >> unit >> allowed;
            listed = listed || (first == port && allowed == expected);
        }
        EXPECT_TRUE(listed) << who << ": port " << port << " with access " << expected << " in\n" << out;
    }
}


const std::vector<std::string> kLibraries{"debian", "compat"};
const std::string kCompatLib = kBuildDir + "/libusb-compat/lib";

bool compatBuilt() { return static_cast<bool>(std::ifstream(kCompatLib + "/libusb-0.1.so.4")); }

Bytes bytesOf(const std::string &path)
{
    const std::string text = slurp(path);
    return Bytes(text.begin(), text.end());
}

// One boot of a machine per library runs every scenario with that library,
// the two machines side by side, each in its own ctest test (fixtures of
// the others); each scenario's test then judges its results, beside the
// rest of the suite.
std::string machineDir(const std::string &library) { return kBuildDir + "/kernel-machine-" + library; }

// The scenarios' folders under one library, in the order its machine runs
// them, by name.
std::map<std::string, std::string> scenarioFolders(const std::string &library)
{
    std::vector<std::string> names;
    for (const auto &sc : kScenarios)
        names.push_back(sc.name);
    names.push_back(kWatchScenario);
    names.push_back(kWatchPullScenario);
    std::map<std::string, std::string> folders;
    for (const std::string &name : names) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02zu-", folders.size() + 1);
        folders[name] = prefix + name + "-" + library;
    }
    return folders;
}

bool machineAtHand() { return static_cast<bool>(std::ifstream(kBuildDir + "/kernel/vmlinux")); }

class KernelMachine : public ::testing::TestWithParam<std::string> {};

TEST_P(KernelMachine, RunsEveryScenario)
{
    if (!machineAtHand()) {
        GTEST_SKIP() << "no test machine: run scripts/kernel-setup " << kBuildDir;
    }
    const std::string &library = GetParam();
    if (library == "compat" && !compatBuilt()) {
        GTEST_SKIP() << "no libusb-compat in " << kBuildDir;
    }
    const std::string machine = machineDir(library);
    std::system(("rm -rf " + machine + " && mkdir -p " + machine + "/files").c_str());
    const std::string files = machine + "/files";
    writeInputs(files);
    srec::writeText(files + "/serial_flash.S19", samples::ramDriver(emu::kSerialDriverTag, kSerialDriverBytes, 21));
    srec::writeText(files + "/cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, kPanelDriverBytes, 22));
    for (const auto &[name, folder] : scenarioFolders(library)) {
        const std::string dir = machine + "/scenarios/" + folder;
        std::system(("mkdir -p " + dir).c_str());
        if (name == kWatchScenario || name == kWatchPullScenario) {
            srec::writeText(dir + "/scenario", name == kWatchScenario ? watchScenarioFile(library)
                                                                      : watchPullScenarioFile(library));
            continue;
        }
        const KernelScenario &sc =
            *std::find_if(kScenarios.begin(), kScenarios.end(), [&](const KernelScenario &k) { return k.name == name; });
        srec::writeText(dir + "/scenario", "program=" + sc.program + "\nargs='" + sc.args + "'\nthen='" + sc.then +
                                               "'\nuser=" + sc.user + "\ngadget='" + gadgetOptions(sc) +
                                               "'\nsetup='" + sc.setup + "'\nspeed=" + sc.speed +
                                               "\nlibusb=" + library + "\n");
    }
    const bool ran = std::system((kSourceDir + "/scripts/kernel-run " + kBuildDir + " " + machine).c_str()) == 0;
    // Kept for a person who wants the captures (say, as new golden ones).
    if (const char *keep = std::getenv("PANEL_KERNEL_RESULTS"))
        std::system(("mkdir -p " + std::string(keep) + " && cp -r " + machine + "/results/. " + keep).c_str());
    const std::string console = slurp(machine + "/console.log");
    std::printf("%s", console.c_str());
    EXPECT_TRUE(ran) << "the machine did not finish";
}

INSTANTIATE_TEST_SUITE_P(Machines, KernelMachine, ::testing::ValuesIn(kLibraries),
                         [](const auto &info) { return info.param; });

class KernelStack : public ProgramTest,
                    public ::testing::WithParamInterface<std::tuple<KernelScenario, std::string>> {};

TEST_P(KernelStack, ScenarioAsTheKernelAndTheEmulatorSeeIt)
{
    if (!machineAtHand()) {
        GTEST_SKIP() << "no test machine: run scripts/kernel-setup " << kBuildDir;
    }
    const KernelScenario &sc = std::get<0>(GetParam());
    const std::string &library = std::get<1>(GetParam());
    const bool compat = library == "compat";
    if (compat && !compatBuilt()) {
        GTEST_SKIP() << "no libusb-compat in " << kBuildDir;
    }
    ASSERT_NE(slurp(machineDir(library) + "/console.log").find("kernel-init: all done"), std::string::npos)
        << "the machine (ctest KernelStack.Machine." << library << ") did not run every scenario";
    const std::string folder = scenarioFolders(library).at(sc.name);
    auto result = [&](const std::string &file) { return machineDir(library) + "/results/" + folder + "/" + file; };
    if (compat)
        environment = {"LD_LIBRARY_PATH=" + kCompatLib};
    const std::string cause = compat && !sc.compatCause.empty() ? sc.compatCause : sc.cause;

    const bool twoPanels = sc.setup.find("two-panels") != std::string::npos;
    std::vector<std::string> ports;
    for (int i = 0; i < (twoPanels ? 2 : 1); ++i) {
        std::string port = slurp(result("panel" + std::to_string(i) + "/port"));
        ports.push_back(port.substr(0, port.find('\n')));
    }
    const std::string out = slurp(result("out"));
    const std::string err = slurp(result("err"));
    const int status = std::atoi(slurp(result("status")).c_str());
    EXPECT_EQ(status, sc.status) << err;
    expectOutput(sc, cause, ports, out, err, "the kernel");
    EXPECT_EQ(slurp(result("panel0/violations.txt")), "");
    if (twoPanels) {
        EXPECT_EQ(slurp(result("panel1/violations.txt")), "");
    }

    // What the panel holds, checked as after every successful emulator run.
    // With two panels, the one the program took is the first libusb lists
    // (it lists the second controller's bus first); the other is untouched.
    const emu::PanelModel fresh(emu::RamDriver::Auto, {}, emu::PanelStart::Used);
    std::string used = "panel0";
    const bool wrote = sc.holdsFile && ((sc.program != "panel_tool" && sc.status == 1) ||
                                        (sc.program == "panel_tool" && sc.status == 0 && sc.args.find("list") != 0));
    if (twoPanels) {
        const bool first = bytesOf(result("panel0/flash.bin")) != fresh.panelFlashBefore() ||
                           bytesOf(result("panel0/serial.bin")) != fresh.serialFlashBefore();
        used = first ? "panel0" : "panel1";
        const std::string untouched = "ram 0\nserial 0\nsectors 0\nflash 0\nboot passes\n";
        EXPECT_EQ(slurp(result((first ? "panel1" : "panel0") + std::string("/summary.txt"))), untouched)
            << "both panels used";
        if (!wrote) {
            EXPECT_EQ(slurp(result(used + "/summary.txt")), untouched) << "a panel used";
        }
        std::printf("two panels: the program took %s\n", used.c_str());
    }
    writeInputs(scratch.dir);
    // The file the panel ends holding: a flash that follows has the last
    // word.
    const bool thenFlashes = sc.then.rfind("panel_tool flash ", 0) == 0;
    const std::string file = thenFlashes ? words(sc.then).back() : words(sc.args).back();
    if (!sc.summary.empty()) {
        EXPECT_EQ(slurp(result("panel0/summary.txt")), sc.summary) << "what the panel was sent";
    }
    if (wrote && file == "lang.bin")
        expectLanguageLoaded(bytesOf(scratch.path(file)), fresh.serialFlashBefore(),
                             bytesOf(result(used + "/serial.bin")));
    if (wrote && file.find(".s19") != std::string::npos)
        expectFirmwareFlashed(fileText(file), fresh.panelFlashBefore(), bytesOf(result(used + "/flash.bin")));

    // The umockdev panel must tell the same story. An unplug ends the
    // transfer under way as the kernel ended it in this run.
    emu::UsbFaults twinFaults = sc.usb;
    if (sc.usb.outFault == TransferFault::Gone || sc.usb.inFault == TransferFault::Gone) {
        const int32_t ended = unplugStatus(result("capture.pcap"));
        EXPECT_TRUE(ended == -ESHUTDOWN || ended == -EPROTO) << "the unplugged transfer ended with " << ended;
        std::printf("kernel scenario %s (%s): the unplugged transfer ended with %d\n", sc.name.c_str(),
                    library.c_str(), ended);
        for (TransferFault *kind : {&twinFaults.outFault, &twinFaults.inFault})
            if (*kind == TransferFault::Gone && ended == -EPROTO)
                *kind = TransferFault::GoneWithBusError;
    }
    emu::UsbPanel twinPanel(emu::RamDriver::Auto, sc.model, twinFaults, emu::PanelStart::Used);
    std::vector<std::string> twinPorts;
    for (std::size_t i = 0; i < ports.size(); ++i)
        twinPorts.push_back(twinPanel.panelPort(i));
    fileHeldAfterSuccess = sc.holdsFile;
    const auto twin =
        runOn(twinPanel, kBuildDir + "/" + sc.program + "/" + sc.program, words(withPorts(sc.args, twinPorts)));
    EXPECT_EQ(twin.run.exitStatus, status) << "umockdev differs from the kernel";
    if (sc.judge == Judge::Exact) {
        EXPECT_EQ(twin.run.out, out) << "umockdev differs from the kernel";
        EXPECT_EQ(twin.run.err, err) << "umockdev differs from the kernel";
    } else {
        expectOutput(sc, cause, twinPorts, twin.run.out, twin.run.err, "umockdev");
    }
    if (!sc.then.empty()) {
        EXPECT_EQ(std::atoi(slurp(result("then.status")).c_str()), sc.thenStatus) << slurp(result("then.err"));
        const std::string thenOut = slurp(result("then.out"));
        const auto then = words(sc.then);
        const std::string program = kBuildDir + "/" + then[0] + "/" + then[0];
        const auto twinThen = runOn(twinPanel, program, std::vector<std::string>(then.begin() + 1, then.end()));
        EXPECT_EQ(twinThen.run.exitStatus, sc.thenStatus) << "umockdev differs from the kernel";
        if (sc.judge == Judge::Exact) {
            EXPECT_EQ(thenOut, sc.thenOut);
            EXPECT_EQ(twinThen.run.out, sc.thenOut) << "umockdev differs from the kernel";
        } else {
            EXPECT_EQ(thenOut.rfind(withPorts(sc.thenOut, ports), 0), 0u) << thenOut;
            EXPECT_EQ(twinThen.run.out.rfind(withPorts(sc.thenOut, twinPorts), 0), 0u)
                << "umockdev differs from the kernel: " << twinThen.run.out;
        }
        const double took = [&] {
            std::istringstream times(slurp(result("then.time")));
            double start = 0, end = 0;
            times >> start >> end;
            return end - start;
        }();
        std::printf("kernel scenario %s (%s): then %s in %.2f s\n", sc.name.c_str(), library.c_str(),
                    sc.then.c_str(), took);
    }
    const double seconds = [&] {
        std::istringstream times(slurp(result("time")));
        double start = 0, end = 0;
        times >> start >> end;
        return end - start;
    }();
    std::printf("kernel scenario %s (%s): exit %d in %.2f s; umockdev: exit %d\n", sc.name.c_str(),
                library.c_str(), status, seconds, twin.run.exitStatus);

    // The run's usbmon capture, replayed as the panel, takes the program
    // through the same run again. (Without access the program never
    // reached the panel; with two, the capture holds both; after a second
    // program, it holds that one too.) Once per scenario: the replay is of
    // the bus, the same with either library.
    if (compat || sc.user == "tech" || twoPanels || !sc.then.empty())
        return;
    std::vector<std::string> argv{kBuildDir + "/emulator/panel_emu", "--replay=" + result("capture.pcap"), "--",
                                  kBuildDir + "/" + sc.program + "/" + sc.program};
    for (const auto &w : words(withPorts(sc.args, ports)))
        argv.push_back(w);
    emu::RunOptions options;
    options.capture = true;
    options.environment = environment;
    const auto replay = emu::runProgram(argv, scratch.dir, options);
    EXPECT_EQ(replay.exitStatus, status) << replay.err;
    if (sc.judge == Judge::Exact) {
        EXPECT_EQ(replay.out, out);
    } else {
        // What panel_emu says of the capture is not the program's.
        std::string programErr;
        std::istringstream lines(replay.err);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("panel_emu: replay: ", 0) != 0)
                programErr += line + "\n";
        expectOutput(sc, cause, ports, replay.out, programErr, "the replay");
    }
    EXPECT_EQ(replay.err.find("protocol violation"), std::string::npos) << replay.err;
}

// A watch scenario's results, judged after its machine ran every scenario.
class KernelWatch : public ProgramTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        if (!machineAtHand()) {
            GTEST_SKIP() << "no test machine: run scripts/kernel-setup " << kBuildDir;
        }
        if (GetParam() == "compat" && !compatBuilt()) {
            GTEST_SKIP() << "no libusb-compat in " << kBuildDir;
        }
        ASSERT_NE(slurp(machineDir(GetParam()) + "/console.log").find("kernel-init: all done"), std::string::npos)
            << "the machine (ctest KernelStack.Machine." << GetParam() << ") did not run every scenario";
    }

    // A file the scenario left, and the ports its panels were given.
    std::string result(const std::string &scenario, const std::string &file) const
    {
        return machineDir(GetParam()) + "/results/" + scenarioFolders(GetParam()).at(scenario) + "/" + file;
    }
    std::vector<std::string> ports(const std::string &scenario, int panels) const
    {
        std::vector<std::string> found;
        for (int i = 0; i < panels; ++i) {
            const std::string port = slurp(result(scenario, "panel" + std::to_string(i) + "/port"));
            found.push_back(port.substr(0, port.find('\n')));
        }
        return found;
    }
};

TEST_P(KernelWatch, ServicesFourPanelsOnePulledMidFlashAndPluggedInAgain)
{
    const std::string &library = GetParam();
    auto result = [&](const std::string &file) { return KernelWatch::result(kWatchScenario, file); };
    const std::vector<std::string> ports = KernelWatch::ports(kWatchScenario, 4);
    const WatchExpected expected{{{ports[0], {"failed flashing", "held language"}},
                                  {ports[1], {"ok"}},
                                  {ports[2], {"ok"}},
                                  {ports[3], {"ok"}}},
                                 "small.s19",
                                 "lang.bin",
                                 8 + 257,
                                 "",
                                 {}};
    const std::string out = slurp(result("out"));
    EXPECT_EQ(slurp(result("err")), "");
    const std::vector<std::string> ended =
        judgeWatchOutput(out, std::atoi(slurp(result("status")).c_str()), expected);
    writeInputs(scratch.dir);
    judgeWatchLog(slurp(result("service.log")), ended, expected, "/work", scratch.dir);
    EXPECT_NE(out.find("port " + ports[0] + ": FAILED after "), std::string::npos) << out;
    EXPECT_NE(out.find(", flashing small.s19: writing flash page 68: sending to the panel failed: "),
              std::string::npos)
        << out;

    // Every panel ends holding both files, and boots.
    const emu::PanelModel fresh(emu::RamDriver::Auto, {}, emu::PanelStart::Used);
    const std::string language = fileText("lang.bin");
    for (int i = 0; i < 4; ++i) {
        const std::string panel = "panel" + std::to_string(i) + "/";
        EXPECT_EQ(slurp(result(panel + "violations.txt")), "") << panel;
        const std::string summary = slurp(result(panel + "summary.txt"));
        EXPECT_NE(summary.find("boot passes"), std::string::npos) << panel << summary;
        expectFirmwareFlashed(fileText("small.s19"), fresh.panelFlashBefore(), bytesOf(result(panel + "flash.bin")));
        expectLanguageLoaded(Bytes(language.begin(), language.end()), fresh.serialFlashBefore(),
                             bytesOf(result(panel + "serial.bin")));
        const double pluggedIn = std::atof(slurp(result(panel + "connected")).c_str());
        const double firstFrame = std::atof(slurp(result(panel + "first-frame")).c_str());
        std::printf("kernel watch (%s): port %s plugged in at %.2f s, first frame %.2f s later\n", library.c_str(),
                    ports[i].c_str(), pluggedIn, firstFrame - pluggedIn);
    }
}

TEST_P(KernelWatch, APanelPulledOutWhileItWaitsIsNeverServiced)
{
    auto result = [&](const std::string &file) { return KernelWatch::result(kWatchPullScenario, file); };
    const std::vector<std::string> ports = KernelWatch::ports(kWatchPullScenario, 3);
    const WatchExpected expected{{{ports[0], {"ok"}}, {ports[1], {"ok"}}}, "small.s19", "", 8, "", {}};
    const std::string out = slurp(result("out"));
    EXPECT_EQ(slurp(result("err")), "");
    const std::vector<std::string> ended =
        judgeWatchOutput(out, std::atoi(slurp(result("status")).c_str()), expected);
    writeInputs(scratch.dir);
    judgeWatchLog(slurp(result("service.log")), ended, expected, "/work", scratch.dir);
    EXPECT_NE(out.find("port " + ports[2] + ": unplugged before its service began"), std::string::npos) << out;
    EXPECT_EQ(out.find("port " + ports[2] + ": not serviced"), std::string::npos) << out;
    const emu::PanelModel fresh(emu::RamDriver::Auto, {}, emu::PanelStart::Used);
    for (int i = 0; i < 2; ++i)
        expectFirmwareFlashed(fileText("small.s19"), fresh.panelFlashBefore(),
                              bytesOf(result("panel" + std::to_string(i) + "/flash.bin")));
    EXPECT_EQ(slurp(result("panel2/summary.txt")), "ram 0\nserial 0\nsectors 0\nflash 0\nboot passes\n");
}

INSTANTIATE_TEST_SUITE_P(Bench, KernelWatch, ::testing::ValuesIn(kLibraries),
                         [](const auto &info) { return info.param; });

INSTANTIATE_TEST_SUITE_P(Scenarios, KernelStack,
                         ::testing::Combine(::testing::ValuesIn(kScenarios), ::testing::ValuesIn(kLibraries)),
                         [](const auto &info) { return std::get<0>(info.param).name + "_" + std::get<1>(info.param); });

} // namespace
