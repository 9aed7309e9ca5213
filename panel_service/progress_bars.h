// Progress a person can read on a terminal: one bar per phase (driver
// upload, erase, write, verify), with what is done, the percentage, the
// rate and the time left, redrawn in place; each bar keeps its line when
// the next phase begins.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "devlink/progress.h"

// "driver", "erase", "write", "verify", "read".
const char *phaseName(Phase phase);

// "##########--------------------": `done` of `total` in `width` places.
std::string barOf(uint32_t done, uint32_t total, int width);

class ProgressBars {
public:
    explicit ProgressBars(std::FILE *out) : out(out) {}
    ~ProgressBars() { end(); }
    ProgressBars(const ProgressBars &) = delete;
    ProgressBars &operator=(const ProgressBars &) = delete;

    // What the sequences report, drawn here.
    Progress progress();
    // Ends the current bar's line (a message may follow).
    void end();

private:
    void begin(Phase phase, uint32_t total);
    void advance(uint32_t done);
    void draw();

    using Clock = std::chrono::steady_clock;
    std::FILE *out;
    bool open = false;
    Phase phase = Phase::Write;
    uint32_t total = 0;
    uint32_t done = 0;
    uint32_t shown = ~0u;  // what the bar last showed
    Clock::time_point started;
    Clock::time_point drawn;
};
