#include "bench/terminal.h"

#include <cstdio>
#include <unistd.h>

#include "panel_service/progress_bars.h"

BenchTerminal::BenchTerminal() : isLive(isatty(STDOUT_FILENO) == 1) {}

void BenchTerminal::say(const std::string &line, const std::vector<Service> &running)
{
    clear();
    std::printf("%s\n", line.c_str());
    draw(running);
    std::fflush(stdout);
}

void BenchTerminal::redraw(const std::vector<Service> &running)
{
    if (!isLive || std::chrono::steady_clock::now() - drawn < kRedraw)
        return;
    clear();
    draw(running);
}

void BenchTerminal::clear()
{
    if (shown > 0)
        std::printf("\033[%zuA\r\033[J", shown);
    shown = 0;
}

// A line per service under way:
// "  port 1-2     firmware  write   [#######---------]  320/960"
void BenchTerminal::draw(const std::vector<Service> &running)
{
    if (!isLive)
        return;
    drawn = std::chrono::steady_clock::now();
    for (const Service &s : running) {
        char line[160];
        const ServiceNews &n = s.news;
        if (n.inPhase)
            std::snprintf(line, sizeof line, "  port %-10s %-9s %-7s [%s] %4u/%u", s.port.c_str(), n.step.c_str(),
                          phaseName(n.phase), (n.total > 0 ? barOf(n.done, n.total, 20) : std::string(20, '-')).c_str(),
                          n.done, n.total);
        else
            std::snprintf(line, sizeof line, "  port %-10s %-9s starting", s.port.c_str(), n.step.c_str());
        std::printf("%s\033[K\n", line);
        ++shown;
    }
    std::fflush(stdout);
}
