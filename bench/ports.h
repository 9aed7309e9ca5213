// The bench's sockets: which panel each holds, and where it stands,
// queued, in service or serviced. A panel plugged in again gets a new
// device number, so the same numbers twice are one plug-in (a panel found
// at start and announced again). What happens is told by `say`.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/plug_events.h"

class Ports {
public:
    using Say = std::function<void(const std::string &line)>;
    // Only the panels plugged into `ports`; every port when empty.
    Ports(std::vector<std::string> ports, Say say) : ours(std::move(ports)), say(std::move(say)) {}

    // A panel plugged in: queued, unless it is heard of already, not in
    // one of the bench's ports (told once), or the bench is stopping.
    void plugIn(const PlugEvent &event, bool stopping);
    // A panel pulled out: a queued one leaves the queue; one in service
    // ends by itself.
    void pullOut(const std::string &port);
    // The next port to service, taken out of the queue; false when none.
    bool next(std::string &port);
    // The port's service begins, on the panel with these numbers.
    void started(const std::string &port, int &bus, int &device);
    // Its service has ended: the port is ready for its next plug-in, or
    // queued again when the panel was plugged in again meanwhile.
    void ended(const std::string &port, bool stopping);
    // Stopping: the queued panels are told of and forgotten.
    void dropQueue();

    // Where each port with a panel stands: "waiting", "in service",
    // "serviced", or "ignored" (not one of the bench's ports).
    std::map<std::string, std::string> standing() const;

private:
    enum class State { Queued, Running, Serviced };
    struct Port {
        State state = State::Queued;
        int bus = 0;
        int device = 0;
        bool pulled = false;        // pulled out while its service runs
        bool pluggedAgain = false;  // and plugged in again: serviced next
    };

    bool ourPort(const PlugEvent &event);

    std::vector<std::string> ours;
    Say say;
    std::map<std::string, std::pair<int, int>> ignored;  // ports not the bench's, as last heard
    std::map<std::string, Port> known;
    std::deque<std::string> queue;
};
