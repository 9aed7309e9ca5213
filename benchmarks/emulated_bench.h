// A bench on emulated panels, for the benchmarks: panel_tool watch run
// until each panel plugged in at its start has been serviced.
#pragma once

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulator/run_program.h"
#include "emulator/usb_panel.h"

// Runs `watch` (panel_tool and its arguments) in `dir` with `count`
// emulated panels at a real panel's pace plugged in at its start; stops it
// with SIGINT once each has been serviced.
inline emu::ProgramRun watchUntilServiced(const std::string &dir, std::size_t count,
                                          const std::vector<std::string> &watch)
{
    emu::ModelFaults pace;
    pace.eraseMs = emu::kRealisticEraseMs;
    pace.programMs = emu::kRealisticProgramMs;
    emu::UsbPanel bus(emu::RamDriver::Auto, pace, {}, emu::PanelStart::Used);
    for (std::size_t i = 1; i < count; ++i) {
        emu::PanelSpec spec;
        spec.start = emu::PanelStart::Used;
        spec.model = pace;
        bus.addPanel(spec);
    }
    std::mutex lock;
    int pid = -1;
    bool stopped = false;
    emu::RunOptions options;
    options.capture = true;
    options.started = [&](int started) {
        std::lock_guard<std::mutex> guard(lock);
        pid = started;
    };
    options.outputGrew = [&](const std::string &out) {
        std::size_t done = 0;
        for (std::size_t at = out.find(": done in "); at != std::string::npos; at = out.find(": done in ", at + 1))
            ++done;
        std::lock_guard<std::mutex> guard(lock);
        if (done >= count && !stopped && pid > 0) {
            stopped = true;
            kill(pid, SIGINT);
        }
    };
    return emu::runProgram(watch, dir, options);
}

// The seconds of each service in the bench's log at `path`, added up;
// `services` how many there were. False when the run failed (said on
// standard error as `program`'s).
inline bool loggedSeconds(const char *program, const emu::ProgramRun &run, const std::string &path,
                          double &seconds, std::size_t &services)
{
    if (run.exitStatus != 0) {
        std::fprintf(stderr, "%s: watch ended with %d: %s%s", program, run.exitStatus, run.out.c_str(),
                     run.err.c_str());
        return false;
    }
    std::ifstream log(path);
    seconds = 0;
    services = 0;
    for (std::string line; std::getline(log, line); ++services)
        seconds += nlohmann::json::parse(line).value("seconds", 0.0);
    return true;
}
