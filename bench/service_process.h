// One panel's service on the bench, in a process of its own: libusb-0.1
// keeps global state and is not safe across threads, and a process that
// fails or hangs takes no other panel with it. The service writes the
// language, if there is one, then the firmware, each read back unless told
// not to, and stops at the first that fails. It tells the bench what it
// does through a pipe, one line per message.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "devlink/panel_list.h"
#include "devlink/progress.h"
#include "panel_service/service.h"

// A step of every service: "language" or "firmware", and its file.
struct BenchStep {
    std::string name;
    PanelFile file;
};

// What every service writes, read and checked before the bench waits.
struct BenchFiles {
    std::vector<BenchStep> steps;  // in the order they run: the language (if any), then the firmware
    bool verify = true;
    bool full = false;
    std::string backup;  // the folder of every panel's backup; none when empty
    bool signaturesChecked = false;  // against trusted keys, when they were read
};

// What a service has told so far.
class ServiceNews {
public:
    struct Step {
        std::string name;  // "language", "firmware"
        ServiceResult result;
    };

    // Takes bytes read from the pipe; whole lines are understood.
    void take(const char *bytes, std::size_t n);

    std::string step;  // the step under way
    bool inPhase = false;
    Phase phase = Phase::DriverUpload;
    uint32_t done = 0;
    uint32_t total = 0;
    std::chrono::steady_clock::time_point phaseBegan;  // when the phase began, as told
    std::vector<Step> ended;

private:
    void understand(const std::string &line);
    std::string partial;
};

// The bench's services under way: started, their news read from their
// pipes, and reaped when they end.
struct Service {
    std::string port;
    pid_t pid = -1;
    int messages = -1;
    std::chrono::steady_clock::time_point began;
    ServiceNews news;
};

// A service that has ended, with its news and how its process ended.
struct EndedService {
    Service service;
    int waitStatus = 0;
};

class Supervisor {
public:
    // Starts the service of `panel` in a new process, which works on its
    // own copy of `files`, closes `othersFds` (the bench's own) and the
    // pipes of the services under way, and ignores the signals that stop
    // the bench: an interrupted flash leaves a panel that does not start.
    // False, with errno, when no process could be started.
    bool start(BenchFiles &files, const PanelPlace &panel, std::vector<int> othersFds);
    // Reads what has arrived from the service at `index` of running().
    void readMessages(std::size_t index);
    // The services whose processes have ended, their news read to the end
    // of their pipes, and taken out of running().
    std::vector<EndedService> reap();

    const std::vector<Service> &running() const { return services; }

private:
    static void readAll(Service &s);
    std::vector<Service> services;
};
