// What the bench prints: lines that stay, and, on a terminal, a live line
// per service under way below them, redrawn in place.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "bench/service_process.h"

class BenchTerminal {
public:
    BenchTerminal();
    // Whether standard output is a terminal, with live lines.
    bool live() const { return isLive; }
    // A line that stays, above the live lines of `running`.
    void say(const std::string &line, const std::vector<Service> &running);
    // The live lines redrawn, when the last drawing is old enough.
    void redraw(const std::vector<Service> &running);

    // How often the live lines are redrawn, at most.
    static constexpr std::chrono::milliseconds kRedraw{100};

private:
    void clear();
    void draw(const std::vector<Service> &running);

    bool isLive;
    std::size_t shown = 0;
    std::chrono::steady_clock::time_point drawn;
};
