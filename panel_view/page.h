// The page about a bench, drawn on the server: the same HTML is the first
// paint (so that the state as loaded shows without JavaScript) and what
// each live update swaps in. Every text from the bench or its record is
// escaped; state is given in words as well as colours.
#pragma once

#include <string>
#include <vector>

#include "bench/history.h"
#include "bench/live_state.h"

// Everything the page shows, as last read.
struct ViewState {
    bool live = false;         // the bench's live state was read
    bool running = false;      // and it tells of a bench that runs
    LiveBench bench;
    std::string runningFor;    // "2 h 14 min"
    bool recordRead = false;
    std::string recordError;   // why the record cannot be read
    ServiceCounts today;       // since midnight, local time
    std::vector<Json> history;  // the last services, oldest first
};

// The part of the page that changes: banner, header, tiles and history.
std::string pageBody(const ViewState &state);
// The whole page around a body.
std::string wholePage(const std::string &body);
