// Runs the real programs against a fresh emulated panel, in a scratch
// folder holding small generated RAM drivers.
#pragma once

#include <gtest/gtest.h>

#include "tests/support.h"

namespace testing_support {

constexpr std::size_t kSerialDriverBytes = 0x300;  // 3 RAM pages
constexpr std::size_t kPanelDriverBytes = 0x280;   // 3 RAM pages
constexpr int kDriverPages = 3;

struct ProgramResult {
    emu::ProgramRun run;
    emu::PanelModel model{emu::RamDriver::None};
    std::vector<emu::WireEntry> wire;
    std::vector<std::string> violations;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch.write("serial_flash.S19", samples::ramDriver(emu::kSerialDriverTag, kSerialDriverBytes, 21));
        scratch.write("cf_flash.S19", samples::ramDriver(emu::kPanelDriverTag, kPanelDriverBytes, 22));
    }

    ProgramResult run(const std::string &program, const std::vector<std::string> &args,
                      emu::UsbFaults usbFaults = {}, emu::ModelFaults modelFaults = {})
    {
        emu::UsbPanel panel(emu::RamDriver::Auto, modelFaults, usbFaults);
        EXPECT_TRUE(panel.ready()) << panel.setupError();
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        ProgramResult r;
        r.run = emu::runProgram(argv, scratch.dir, true);
        EXPECT_TRUE(r.run.started);
        EXPECT_EQ(r.run.signal, 0) << "ended by a signal";
        panel.checkHostEnded(false);
        r.model = panel.model();
        r.wire = panel.wire();
        r.violations = panel.violations();
        EXPECT_TRUE(r.violations.empty()) << r.violations.front();
        expectCauseLine(program, r.run);
        return r;
    }

    // Silence on standard error after success; after a failure at most
    // one line, naming the program.
    static void expectCauseLine(const std::string &program, const emu::ProgramRun &run)
    {
        if (run.exitStatus == 1) {
            EXPECT_EQ(run.err, "") << "standard error after success";
            return;
        }
        const std::string name = program.substr(program.rfind('/') + 1) + ": ";
        EXPECT_EQ(run.err.compare(0, name.size(), name), 0) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }

    static emu::UsbFaults failOut(int n, emu::TransferFault kind = emu::TransferFault::Gone)
    {
        emu::UsbFaults f;
        f.outFault = kind;
        f.outFaultAt = n;
        return f;
    }

    static emu::UsbFaults failIn(int n, emu::TransferFault kind = emu::TransferFault::Gone)
    {
        emu::UsbFaults f;
        f.inFault = kind;
        f.inFaultAt = n;
        return f;
    }

    Scratch scratch;
};

// The run touched no USB device at all.
inline bool noUsbAccess(const ProgramResult &r) { return r.wire.empty(); }

// What n steps of a program's spinner print, each followed by `tail`.
inline std::string spinnerSteps(int n, const std::string &tail)
{
    static const char chars[] = {'|', '/', '-', '\\'};
    std::string out;
    for (int i = 0; i < n; ++i)
        out += std::string(1, chars[i % 4]) + tail;
    return out;
}

inline std::vector<int> range(int first, int last)
{
    std::vector<int> out;
    for (int i = first; i <= last; ++i)
        out.push_back(i);
    return out;
}

} // namespace testing_support
