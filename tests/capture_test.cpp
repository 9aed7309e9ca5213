// USB captures: what panel_emu writes is what Wireshark's tshark reads; the
// golden captures recorded on the kernel stack (tests/captures/*/) replay
// through the real programs; a replay tells where the host first differs
// from its capture; a bad capture is refused with a clear error.
#include <dirent.h>
#include <fstream>
#include <sstream>

#include <pcap/pcap.h>

#include "emulator/capture/usb_capture.h"
#include "tests/programs.h"

using namespace testing_support;

namespace {

const std::string kEmu = PANEL_EMU_PATH;
const std::string kBuildDir = PANEL_BUILD_DIR;
const std::string kCaptures = PANEL_CAPTURES_DIR;

// key=value lines, # comments.
std::map<std::string, std::string> readRun(const std::string &path)
{
    std::map<std::string, std::string> run;
    std::istringstream lines(slurp(path));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#' && line.find('=') != std::string::npos)
            run[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return run;
}

std::vector<std::string> captureFolders()
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(kCaptures.c_str())) {
        while (dirent *e = readdir(dir))
            if (e->d_name[0] != '.' && e->d_type == DT_DIR)
                names.emplace_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The folder's files in the scratch folder, and its capture unpacked
// there; returns the capture's path.
std::string unpack(const std::string &folder, const Scratch &scratch)
{
    const std::string from = kCaptures + "/" + folder;
    std::system(("cp -r " + from + "/. " + scratch.dir).c_str());
    if (std::ifstream(scratch.path("capture.pcap.gz")))
        std::system(("gzip -dfq " + scratch.path("capture.pcap.gz")).c_str());
    for (const char *name : {"capture.pcap", "capture.pcapng"})
        if (std::ifstream(scratch.path(name)))
            return scratch.path(name);
    return "";
}

emu::ProgramRun replay(const Scratch &scratch, const std::string &capture, const std::string &program,
                       const std::string &args)
{
    std::vector<std::string> argv{kEmu, "--replay=" + capture, "--", kBuildDir + "/" + program + "/" + program};
    std::istringstream words(args);
    for (std::string w; words >> w;)
        argv.push_back(w);
    return emu::runProgram(argv, scratch.dir, true);
}

// ---- Golden captures: a folder each, and no code per capture ----------

class GoldenCapture : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenCapture, ReplaysThroughTheRealProgram)
{
    Scratch scratch;
    const std::string capture = unpack(GetParam(), scratch);
    ASSERT_FALSE(capture.empty()) << "no capture.pcap(.gz) or capture.pcapng in " << GetParam();
    auto run = readRun(scratch.path("run"));
    const auto r = replay(scratch, capture, run["program"], run["args"]);
    EXPECT_EQ(std::to_string(r.exitStatus), run["status"]) << r.err;
    EXPECT_EQ(r.err.find("protocol violation"), std::string::npos) << r.err;
    if (std::ifstream(scratch.path("stdout"))) {
        EXPECT_EQ(r.out, slurp(scratch.path("stdout")));
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, GoldenCapture, ::testing::ValuesIn(captureFolders()), [](const auto &info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

// A firmware one byte off from the one the capture was made with: the
// replay names the capture's frame of that page write, the offset in the
// transfer and both bytes.
TEST(CaptureReplay, ChangedFirmwareIsCaughtAtItsFirstDifferingByte)
{
    Scratch scratch;
    const std::string capture = unpack("panel-flasher-complete", scratch);
    std::string text = slurp(scratch.path("small.s19"));
    // The byte at 0x4105 is the sixth of the 0x4100 record.
    const std::size_t record = text.find("S325000041");
    ASSERT_NE(record, std::string::npos);
    Bytes data(32);
    for (std::size_t i = 0; i < 32; ++i)
        data[i] = static_cast<uint8_t>(std::stoul(text.substr(record + 12 + 2 * i, 2), nullptr, 16));
    const uint8_t original = data[5];
    data[5] ^= 0x5A;
    text.replace(record, srec::record('3', 0x4100, data).size(), srec::record('3', 0x4100, data));
    scratch.write("small.s19", text);

    std::vector<emu::CapturedTransfer> transfers;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(emu::readCapture(capture, transfers, error)) << error;
    ASSERT_TRUE(emu::selectPanel(transfers, "", notes, error)) << error;
    const auto page65 = std::find_if(transfers.begin(), transfers.end(), [](const emu::CapturedTransfer &t) {
        return t.data.size() == 260 && t.data[1] == 0x02 && t.data[2] == 0x00 && t.data[3] == 0x41;
    });
    ASSERT_NE(page65, transfers.end());

    const auto r = replay(scratch, capture, "panel_flasher", "small.s19");
    EXPECT_EQ(r.exitStatus, 4);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "protocol violation: capture frame %u, transfer %zu: OUT differs at offset 9: the "
                  "capture has 0x%02X, the host sent 0x%02X",
                  page65->frame, static_cast<std::size_t>(page65 - transfers.begin()) + 1, original,
                  original ^ 0x5A);
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err << "\nexpected: " << expected;
}

// The replay is strict about how the host's run ends, not only about its
// bytes: a host that asks another length, stops before the capture's end
// or goes on past it is told where.
TEST(CaptureReplay, HostThatStopsEarlyGoesOnOrAsksAnotherLength)
{
    Scratch scratch;
    const std::string ping = unpack("ping-answered-without-B", scratch);
    // Its ping's payload is two bytes where the capture has one, and it
    // stops there.
    const auto longer = emu::runProgram({kEmu, "--replay=" + ping, "--", MISBEHAVING_HOST_PATH, "long-payload"},
                                        scratch.dir, true);
    EXPECT_EQ(longer.exitStatus, 4);
    EXPECT_NE(longer.err.find("transfer 2: the capture has OUT on 0x02 of 1 bytes, the host made OUT on 0x02 of 2 "
                              "bytes"),
              std::string::npos)
        << longer.err;
    EXPECT_NE(longer.err.find("the host stopped after transfer 2 of 4;"), std::string::npos) << longer.err;

    // A firmware one page longer than the one captured.
    Scratch other;
    const std::string complete = unpack("panel-flasher-complete", other);
    other.write("small.s19", samples::firmware(0x4000, 0x48FF, 32));
    const auto past = replay(other, complete, "panel_flasher", "small.s19");
    EXPECT_EQ(past.exitStatus, 4);
    EXPECT_NE(past.err.find("the host made 1 transfers more than the capture holds"), std::string::npos) << past.err;
}

// ---- What panel_emu writes is what tshark reads --------------------------

// tshark's reading of a capture as wire log lines: "OUT 02 2 ok 0001".
std::vector<std::string> tsharkTransfers(const std::string &capture)
{
    const std::string command = "tshark -r " + capture +
                                " -T fields -E separator=, -e usb.urb_type -e usb.endpoint_address "
                                "-e usb.urb_status -e usb.urb_len -e usb.capdata 2>/dev/null";
    std::vector<std::string> lines;
    FILE *p = popen(command.c_str(), "r");
    std::map<std::string, std::string> outcome{{"0", "ok"}, {"-32", "stall"}, {"-108", "gone"}, {"-104", "timeout"}};
    std::string submit;
    char buffer[4096];
    std::string line;
    while (p != nullptr && std::fgets(buffer, sizeof buffer, p) != nullptr) {
        line += buffer;
        if (line.back() != '\n')
            continue;
        line.pop_back();
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string x; std::getline(fields, x, ',');)
            f.push_back(x);
        f.resize(5);
        line.clear();
        if (f[1] != "0x02" && f[1] != "0x81")
            continue;
        std::string data = f[4];
        for (auto &c : data)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const bool in = f[1] == "0x81";
        if (f[0] == "'S'") {
            submit = std::string(in ? "IN 81 " : "OUT 02 ") + f[3];
            if (!in)
                submit += "|" + data;
            continue;
        }
        const std::string sent = submit.substr(submit.find('|') == std::string::npos ? submit.size() : submit.find('|') + 1);
        const std::string head = submit.substr(0, submit.find('|'));
        const std::string bytes = in ? data : sent;
        lines.push_back(head + " " + outcome[f[2]] + (bytes.empty() ? "" : " " + bytes));
    }
    if (p != nullptr)
        pclose(p);
    return lines;
}

TEST(CaptureWriter, TsharkReadsEveryTransferAsTheWireLogHasIt)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    Scratch scratch;
    unpack("panel-flasher-complete", scratch);
    const auto r = emu::runProgram({kEmu, "--pcap=session.pcap", "--wire-log=wire.txt",
                                    "--fail-in=200:stall", "--", PANEL_FLASHER_PATH, "small.s19"},
                                   scratch.dir, true);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const std::string check = "tshark -r " + scratch.path("session.pcap") + " > /dev/null 2> " +
                              scratch.path("tshark.err");
    EXPECT_EQ(std::system(check.c_str()), 0);
    std::string complaints = slurp(scratch.path("tshark.err"));
    complaints.erase(0, complaints.find('\n') + 1);  // its warning about running as root
    EXPECT_EQ(complaints.find_first_not_of(" \n"), std::string::npos) << complaints;

    std::vector<std::string> wire;
    std::istringstream lines(slurp(scratch.path("wire.txt")));
    for (std::string line; std::getline(lines, line);) {
        line.erase(0, line.find(' ') + 1);  // the device
        if (line.rfind("OUT ", 0) == 0 || line.rfind("IN ", 0) == 0)
            wire.push_back(line);
    }
    const auto decoded = tsharkTransfers(scratch.path("session.pcap"));
    ASSERT_GT(wire.size(), 200u);
    EXPECT_TRUE(decoded == wire) << decoded.size() << " transfers decoded, " << wire.size() << " in the wire log";
    EXPECT_NE(std::find(decoded.begin(), decoded.end(), "IN 81 2 stall"), decoded.end());
}

// ---- Bad captures ----------------------------------------------------------

// A capture of our own, then spoiled.
std::string ownCapture(const Scratch &scratch)
{
    unpack("ping-answered-without-B", scratch);
    emu::runProgram({kEmu, "--pcap=own.pcap", "--", PANEL_FLASHER_PATH, "small.s19"}, scratch.dir, true);
    return slurp(scratch.path("own.pcap"));
}

TEST(CaptureReplay, BadCapturesAreRefusedWithTheirFault)
{
    Scratch scratch;
    const std::string own = ownCapture(scratch);
    ASSERT_GT(own.size(), 24u + 16 + 64);
    std::string lengths = own;
    lengths[24 + 16 + 36] = 9;  // the first record's data_len
    // The first record that carries data, announcing one byte less.
    std::string longer = own;
    std::size_t at = 24, record = 1;
    while (at + 16 + 40 <= longer.size() && longer[at + 16 + 36] == 0) {
        at += 16 + static_cast<uint8_t>(longer[at + 8]) + 256 * static_cast<uint8_t>(longer[at + 9]);
        ++record;
    }
    ASSERT_LT(at + 16 + 40, longer.size());
    const int carried = longer[at + 16 + 36];
    longer[at + 16 + 36] = static_cast<char>(carried - 1);
    pcap_t *ethernet = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *dumper = pcap_dump_open(ethernet, scratch.path("ethernet.pcap").c_str());
    pcap_pkthdr header{};
    header.caplen = header.len = 64;
    const u_char zeros[64] = {};
    pcap_dump(reinterpret_cast<u_char *>(dumper), &header, zeros);
    pcap_dump_close(dumper);
    pcap_close(ethernet);

    const std::vector<std::pair<std::string, std::string>> bad{
        {"not pcap at all\n", "cannot read"},
        {own.substr(0, own.size() - 7), "the capture is damaged"},
        {slurp(scratch.path("ethernet.pcap")), "not a Linux USB capture (link type 1"},
        {lengths, "record 1: usbmon says 9 data bytes, the record holds 0"},
        {longer, "record " + std::to_string(record) + ": usbmon says " + std::to_string(carried - 1) +
                     " data bytes, the record holds " + std::to_string(carried)},
        {own.substr(0, 24), "the capture holds no panel"},
    };
    for (const auto &[bytes, complaint] : bad) {
        scratch.write("bad.pcap", bytes);
        const auto r = replay(scratch, scratch.path("bad.pcap"), "panel_flasher", "small.s19");
        EXPECT_EQ(r.exitStatus, 3) << complaint;
        EXPECT_EQ(r.signal, 0) << complaint;
        EXPECT_NE(r.err.find(complaint), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "the program ran on a bad capture";
    }
}

} // namespace
