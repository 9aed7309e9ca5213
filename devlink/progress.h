// What a sequence reports as it goes, for whoever shows it: the legacy
// programs' spinner, panel_tool's bars, a bench's live lines. The
// sequences themselves print nothing.
#pragma once

#include <cstdint>
#include <functional>

// The parts of a run a person watches.
enum class Phase : uint8_t {
    DriverUpload,  // the RAM driver's pages into the panel
    Erase,         // the firmware's sectors
    Write,         // pages written
    Verify,        // pages read back and compared
    Read,          // pages read to be saved or compared
};

struct Progress {
    // A phase of `total` steps begins.
    std::function<void(Phase phase, uint32_t total)> began;
    // `done` of its steps are done.
    std::function<void(Phase phase, uint32_t done)> advanced;

    void begin(Phase phase, uint32_t total) const
    {
        if (began)
            began(phase, total);
    }
    void advance(Phase phase, uint32_t done) const
    {
        if (advanced)
            advanced(phase, done);
    }
};
