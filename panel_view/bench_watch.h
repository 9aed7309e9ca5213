// What the view knows of its bench: the live state the bench publishes
// and its record, read again every 200 ms (the record at most every
// second, or when a service has ended), and the page's body drawn from
// them once per change for every browser to share. Both are only read:
// the record opened read-only, a short read transaction at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "panel_view/page.h"

class BenchWatch {
public:
    BenchWatch(std::string live, std::string record) : livePath(std::move(live)), recordPath(std::move(record)) {}

    // Reads the bench again; true when the page's body changed.
    bool refresh();

    // The page's body as last drawn, and its number, which grows with each
    // change.
    struct Body {
        uint64_t number = 0;
        std::shared_ptr<const std::string> html;
    };
    Body body() const;

    const std::string &record() const { return recordPath; }

    // How often the bench is read again.
    static constexpr std::chrono::milliseconds kEvery{200};

private:
    using Clock = std::chrono::steady_clock;
    void readLiveState(ViewState &state) const;
    void readRecord(ViewState &state);

    std::string livePath;
    std::string recordPath;
    ViewState last;  // as the body was last drawn
    Clock::time_point recordReadAt;
    mutable std::mutex lock;
    Body current;
};
