#include "panel_service/progress_bars.h"

#include <string>

namespace {

constexpr int kBarWidth = 30;
// A terminal is redrawn at most this often, and at the end of a phase.
constexpr auto kRedraw = std::chrono::milliseconds(100);

} // namespace

const char *phaseName(Phase phase)
{
    switch (phase) {
    case Phase::DriverUpload: return "driver";
    case Phase::Erase: return "erase";
    case Phase::Write: return "write";
    case Phase::Verify: return "verify";
    case Phase::Read: return "read";
    }
    return "";
}

std::string barOf(uint32_t done, uint32_t total, int width)
{
    const int filled = total > 0 ? static_cast<int>(uint64_t{done} * static_cast<uint64_t>(width) / total) : width;
    return std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(width - filled), '-');
}

namespace {

const char *unitOf(Phase phase) { return phase == Phase::Erase ? "sectors" : "pages"; }

} // namespace

Progress ProgressBars::progress()
{
    Progress p;
    p.began = [this](Phase phase, uint32_t total) { begin(phase, total); };
    p.advanced = [this](Phase, uint32_t done) { advance(done); };
    return p;
}

void ProgressBars::begin(Phase next, uint32_t pages)
{
    end();
    phase = next;
    total = pages;
    done = 0;
    open = true;
    started = drawn = Clock::now();
    draw();
}

void ProgressBars::advance(uint32_t now)
{
    done = now;
    if (done == total || Clock::now() - drawn >= kRedraw)
        draw();
}

void ProgressBars::end()
{
    if (!open)
        return;
    if (shown != done)
        draw();
    std::fputc('\n', out);
    std::fflush(out);
    open = false;
}

// "write   [##########--------------------]  320/960  33%  310 pages/s  2 s left"
void ProgressBars::draw()
{
    drawn = Clock::now();
    shown = done;
    const double seconds = std::chrono::duration<double>(drawn - started).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    const std::string bar = barOf(done, total, kBarWidth);
    char tail[64] = "";
    if (done == total)
        std::snprintf(tail, sizeof tail, "done in %.1f s", seconds);
    else if (rate > 0)
        std::snprintf(tail, sizeof tail, "%.0f s left", (total - done) / rate);
    std::fprintf(out, "\r%-7s [%s] %4u/%u %3u%%  %.0f %s/s  %s\033[K", phaseName(phase), bar.c_str(), done, total,
                 total > 0 ? static_cast<unsigned>(uint64_t{done} * 100 / total) : 100u, rate, unitOf(phase), tail);
    std::fflush(out);
}
