// The bench's live state, published for whoever watches it (the view):
// each socket's standing, its service's progress and its last result.
// Published when something changes, at most every 200 ms, and at least
// twice a second; a publication that fails is told once and the bench goes
// on: nothing a watcher does can hold up a service.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "bench/live_state.h"
#include "bench/service_entry.h"
#include "bench/service_process.h"

class LivePublisher {
public:
    // `bench`: the station, its start, its files, ports and labels.
    LivePublisher(std::string path, LiveBench bench, std::map<std::string, std::string> labels)
        : path(std::move(path)), bench(std::move(bench)), labels(std::move(labels))
    {
    }

    // A service has ended so.
    void ended(const ServiceEntry &entry);
    // Publishes the sockets as `standing` (Ports::standing) and `running`
    // give them, when due; `running` false: the bench has ended, always.
    void publish(const std::map<std::string, std::string> &standing, const std::vector<Service> &services,
                 bool running);

private:
    using Clock = std::chrono::steady_clock;
    LiveSocket socketOf(const std::string &port, const std::map<std::string, std::string> &standing,
                        const std::vector<Service> &services) const;

    std::string path;
    LiveBench bench;
    std::map<std::string, std::string> labels;
    std::map<std::string, LiveSocket> last;  // each port's last service's end
    std::string published;                   // the sockets as last published
    Clock::time_point publishedAt;
    bool failed = false;
};
