#include "bench/live.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "panel_service/progress_bars.h"
#include "panel_service/utc_time.h"

namespace {

// Changes reach a watcher this soon at most, which keeps a bench of many
// sockets from rewriting the file at every page.
constexpr auto kSoonest = std::chrono::milliseconds(200);
// And at least this often, so that a file much older tells of a bench
// that no longer runs.
constexpr auto kLatest = std::chrono::milliseconds(500);

} // namespace

void LivePublisher::ended(const ServiceEntry &entry)
{
    LiveSocket s;
    const bool allHeld =
        !entry.files.empty() && std::all_of(entry.files.begin(), entry.files.end(), [](const FileEntry &f) {
            return f.ran && f.result.end == ServiceEnd::AlreadyHeld;
        });
    s.result = allHeld ? "already held" : entry.result;
    s.ended = entry.time;
    s.seconds = entry.seconds;
    s.step = entry.step;
    s.cause = entry.cause;
    // A step that never told its end (its process died, or never began)
    // is the panel's or the station's moment, not the file's: try again.
    const auto failedFile = std::find_if(entry.files.begin(), entry.files.end(),
                                         [&entry](const FileEntry &f) { return f.kind == entry.step; });
    s.replugMayCure = entry.result == "failed" &&
                      (failedFile == entry.files.end() || !failedFile->ran || failedFile->result.replugMayCure);
    last[entry.port] = s;
}

LiveSocket LivePublisher::socketOf(const std::string &port, const std::map<std::string, std::string> &standing,
                                   const std::vector<Service> &services) const
{
    LiveSocket s;
    const auto service =
        std::find_if(services.begin(), services.end(), [&port](const Service &r) { return r.port == port; });
    const auto where = standing.find(port);
    const auto kept = last.find(port);
    const bool anew = service != services.end() || (where != standing.end() && where->second != "serviced");
    if (kept != last.end() && !anew)
        s = kept->second;
    s.port = port;
    const auto label = labels.find(port);
    s.label = label != labels.end() ? label->second : std::string();
    if (service != services.end()) {
        const ServiceNews &n = service->news;
        s.state = "in service";
        s.step = n.step;
        s.phase = n.inPhase ? phaseName(n.phase) : "";
        s.done = n.inPhase ? n.done : 0;
        s.total = n.inPhase ? n.total : 0;
        s.phaseSeconds = n.inPhase ? std::chrono::duration<double>(Clock::now() - n.phaseBegan).count() : 0.0;
    } else if (where == standing.end()) {
        s.state = "empty";
    } else {
        s.state = where->second != "serviced" ? where->second : s.result.empty() ? "empty" : s.result;
    }
    return s;
}

void LivePublisher::publish(const std::map<std::string, std::string> &standing, const std::vector<Service> &services,
                            bool running)
{
    // The bench's own ports in their order, then every other port heard
    // of, as seen.
    std::vector<std::string> order = bench.ports;
    std::set<std::string> seen(order.begin(), order.end());
    std::set<std::string> others;
    for (const auto &[port, where] : standing)
        others.insert(port);
    for (const Service &s : services)
        others.insert(s.port);
    for (const auto &[port, s] : last)
        others.insert(port);
    for (const std::string &port : others)
        if (seen.insert(port).second)
            order.push_back(port);
    bench.sockets.clear();
    for (const std::string &port : order)
        bench.sockets.push_back(socketOf(port, standing, services));
    // As last published but for the sockets: a change is a change of them.
    const std::string text = oneLine(Json(bench));
    const auto since = Clock::now() - publishedAt;
    if (running && !(text != published && since >= kSoonest) && since < kLatest)
        return;
    published = text;
    publishedAt = Clock::now();
    bench.running = running;
    bench.updated = utcText(std::time(nullptr));
    if (publishLive(path, bench) || failed)
        return;
    failed = true;
    std::fprintf(stderr, "panel_tool: cannot publish the live state %s: %s (the bench goes on)\n", path.c_str(),
                 std::strerror(errno));
}
