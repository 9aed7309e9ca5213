// The fixture of the tests that run a bench on emulated panels: the files
// every panel gets, panels on a bus of their own, and a run judged whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/programs.h"
#include "tests/watch_judge.h"
#include "tests/watch_run.h"

namespace testing_support {

class Watch : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        scratch.write("fw.s19", samples::firmware(0x4000, 0x47FF, 61));
        scratch.write("lang.bin", samples::languageFile(63));
    }

    static std::unique_ptr<emu::UsbPanel> panels(emu::ModelFaults first = {})
    {
        auto bus = std::make_unique<emu::UsbPanel>(emu::RamDriver::Auto, first, emu::UsbFaults{},
                                                   emu::PanelStart::Used);
        EXPECT_TRUE(bus->ready()) << bus->setupError();
        return bus;
    }
    static std::size_t plugIn(emu::UsbPanel &bus, emu::ModelFaults model = {})
    {
        emu::PanelSpec spec;
        spec.start = emu::PanelStart::Used;
        spec.model = model;
        return bus.addPanel(spec);
    }
    static emu::ModelFaults realPace()
    {
        emu::ModelFaults pace;
        pace.eraseMs = emu::kRealisticEraseMs;
        pace.programMs = emu::kRealisticProgramMs;
        return pace;
    }

    // Everything a run shows (its lines, summary, exit status and log);
    // each panel serviced last with success holds the files and boots,
    // one never serviced is as it was.
    void judge(const emu::ProgramRun &run, emu::UsbPanel &bus, const std::vector<emu::PanelModel> &before,
               const WatchExpected &expected, const std::string &log = "bench.log")
    {
        EXPECT_EQ(run.err, "");
        const std::vector<std::string> ended = judgeWatchOutput(run.out, run.exitStatus, expected);
        judgeWatchLog(slurp(scratch.path(log)), ended, expected, scratch.dir, scratch.dir);
        // A panel plugged in during the run started as the first did.
        for (std::size_t i = 0; i < bus.panelCount(); ++i) {
            const emu::PanelModel &was = i < before.size() ? before[i] : before.front();
            const emu::PanelModel m = bus.model(i);
            const auto it = expected.services.find(bus.panelPort(i));
            if (it == expected.services.end()) {
                EXPECT_EQ(m.panelFlash(), was.panelFlash()) << "panel " << i << " never serviced";
                EXPECT_EQ(m.serialFlash(), was.serialFlash()) << "panel " << i << " never serviced";
            } else if (it->second.back() == "failed loading") {
                // The firmware is not touched after a language that failed.
                EXPECT_EQ(m.panelFlash(), was.panelFlash()) << "panel " << i;
            } else if (it->second.back() == "ok" || it->second.back().rfind("held", 0) == 0) {
                expectFirmwareFlashed(fileText(expected.firmware), was.panelFlash(), m.panelFlash());
                if (!expected.language.empty()) {
                    const std::string text = fileText(expected.language);
                    expectLanguageLoaded(Bytes(text.begin(), text.end()), was.serialFlash(),
                                         m.serialFlash());
                }
            }
        }
        const std::vector<std::string> violations = bus.violations();
        EXPECT_TRUE(violations.empty()) << violations.front();
    }

    static std::vector<emu::PanelModel> holdings(const emu::UsbPanel &bus)
    {
        std::vector<emu::PanelModel> models;
        for (std::size_t i = 0; i < bus.panelCount(); ++i)
            models.push_back(bus.model(i));
        return models;
    }
};

} // namespace testing_support
