// The read-first service against a full one, on the emulated panel at a
// real panel's pace (an erase 20 ms, a page program 2 ms): the time of
// panel_tool flash (verified) for a panel that already holds the firmware,
// one whose firmware differs in one data byte, and one that holds a wholly
// different firmware, each as a ratio to flash --full of the same firmware
// on the same panel; the same for load-language. Not part of the suite.
// Usage: read_first_benchmark [ROUNDS]          (default 2)
//        read_first_benchmark --files DIR       the inputs, for the kernel run
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/run_program.h"
#include "emulator/srec_writer.h"
#include "emulator/usb_panel.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A full-range firmware, the same with one data byte changed (in sector
// 64, far from the checksum's sector 8), and another one; a language, the
// same with one byte of data page 100 changed, and another one.
void writeFiles(const std::string &dir)
{
    Bytes firmware = srec::patternBytes(0x3C000, 71);
    srec::writeText(dir + "/full.s19", srec::file('3', 0x4000, firmware));
    firmware[0x1E010] ^= 0x01;
    srec::writeText(dir + "/full-one-byte.s19", srec::file('3', 0x4000, firmware));
    srec::writeText(dir + "/other.s19", srec::file('3', 0x4000, srec::patternBytes(0x3C000, 72)));
    Bytes language = samples::languageFile(73);
    srec::writeText(dir + "/lang.bin", std::string(language.begin(), language.end()));
    language[100 * 256 + 3] ^= 0x01;
    srec::writeText(dir + "/lang-one-byte.bin", std::string(language.begin(), language.end()));
    const Bytes other = samples::languageFile(74);
    srec::writeText(dir + "/other-lang.bin", std::string(other.begin(), other.end()));
    srec::writeText(dir + "/serial_flash.S19", samples::ramDriver(emu::kSerialDriverTag, 0x300, 21));
    srec::writeText(dir + "/cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, 0x280, 22));
}

// One panel_tool run on `panel`, its wall time in seconds; 0 when it did
// not end well.
double timed(const std::string &dir, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{PANEL_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    emu::RunOptions options;
    options.capture = true;
    const auto began = std::chrono::steady_clock::now();
    const emu::ProgramRun run = emu::runProgram(argv, dir, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (run.exitStatus != 0) {
        std::fprintf(stderr, "read_first_benchmark: panel_tool %s %s: exit %d: %s", args[0].c_str(), args.back().c_str(),
                     run.exitStatus, run.err.c_str());
        return 0;
    }
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--files") {
        writeFiles(argv[2]);
        return 0;
    }
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2;
    char folder[] = "/tmp/read-first-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    const std::string dir = folder;
    writeFiles(dir);
    emu::withoutPermissionOverride();
    struct Case {
        const char *command, *full, *held, *oneByte, *other;
    } cases[] = {{"flash", "full.s19", "full.s19", "full-one-byte.s19", "other.s19"},
                 {"load-language", "lang.bin", "lang.bin", "lang-one-byte.bin", "other-lang.bin"}};
    std::printf("read first against --full, emulated panel at a real panel's pace (erase 20 ms, program 2 ms),\n"
                "each verified; %d round(s)\n", rounds);
    std::printf("%-14s %-8s %-22s %-22s %-22s\n", "command", "--full s", "already held s (ratio)",
                "one byte s (ratio)", "wholly different s (ratio)");
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        for (const Case &c : cases) {
            emu::ModelFaults pace;
            pace.eraseMs = emu::kRealisticEraseMs;
            pace.programMs = emu::kRealisticProgramMs;
            emu::UsbPanel panel(emu::RamDriver::Auto, pace, {}, emu::PanelStart::Used);
            // The panel holds the file after each --full run: the service
            // timed after it finds the panel as the case says.
            const double full = timed(dir, {c.command, "--full", c.full});
            const double held = timed(dir, {c.command, c.held});
            timed(dir, {c.command, "--full", c.full});
            const double oneByte = timed(dir, {c.command, c.oneByte});
            timed(dir, {c.command, "--full", c.full});
            const double other = timed(dir, {c.command, c.other});
            ok = ok && full > 0 && held > 0 && oneByte > 0 && other > 0;
            char a[32], b[32], d[32];
            std::snprintf(a, sizeof a, "%.2f (%.2f)", held, held / full);
            std::snprintf(b, sizeof b, "%.2f (%.2f)", oneByte, oneByte / full);
            std::snprintf(d, sizeof d, "%.2f (%.2f)", other, other / full);
            std::printf("%-14s %-8.2f %-22s %-22s %-22s\n", c.command, full, a, b, d);
        }
    }
    std::system(("rm -rf " + dir).c_str());
    return ok ? 0 : 1;
}
