#include "bench/ports.h"

#include <algorithm>

// A panel in a socket that is not the bench's (a reference panel, one
// being checked by hand) is told of once and never opened.
bool Ports::ourPort(const PlugEvent &event)
{
    if (ours.empty() || std::find(ours.begin(), ours.end(), event.port) != ours.end())
        return true;
    const std::pair<int, int> numbers{event.bus, event.device};
    auto heard = ignored.find(event.port);
    if (heard == ignored.end() || heard->second != numbers) {
        ignored[event.port] = numbers;
        say("port " + event.port + ": panel plugged in; not one of the bench's ports: ignored");
    }
    return false;
}

void Ports::plugIn(const PlugEvent &event, bool stopping)
{
    if (!ourPort(event))
        return;
    auto it = known.find(event.port);
    if (it != known.end() && it->second.bus == event.bus && it->second.device == event.device)
        return;  // heard of already
    say("port " + event.port + ": panel plugged in" + (stopping ? "; not serviced: stopping" : ""));
    if (stopping)
        return;
    if (it == known.end()) {
        known[event.port] = Port{State::Queued, event.bus, event.device, false, false};
        queue.push_back(event.port);
        return;
    }
    Port &p = it->second;
    p.bus = event.bus;
    p.device = event.device;
    if (p.state == State::Running) {
        p.pluggedAgain = true;  // the service under way ends first
    } else if (p.state == State::Serviced) {
        p.state = State::Queued;
        queue.push_back(event.port);
    }
}

void Ports::pullOut(const std::string &port)
{
    ignored.erase(port);
    auto it = known.find(port);
    if (it == known.end())
        return;  // not a panel, or one not serviced
    Port &p = it->second;
    if (p.state == State::Running) {
        // Its service fails by itself, and says so.
        p.pulled = true;
        p.pluggedAgain = false;
        return;
    }
    if (p.state == State::Queued) {
        queue.erase(std::find(queue.begin(), queue.end(), port));
        say("port " + port + ": unplugged before its service began");
    }
    known.erase(it);
}

bool Ports::next(std::string &port)
{
    if (queue.empty())
        return false;
    port = queue.front();
    queue.pop_front();
    return true;
}

void Ports::started(const std::string &port, int &bus, int &device)
{
    Port &p = known[port];
    p.state = State::Running;
    p.pulled = p.pluggedAgain = false;
    bus = p.bus;
    device = p.device;
}

void Ports::ended(const std::string &port, bool stopping)
{
    Port &p = known[port];
    if (p.pluggedAgain && !stopping) {
        p.state = State::Queued;
        p.pluggedAgain = false;
        queue.push_back(port);
    } else if (p.pulled) {
        known.erase(port);
    } else {
        p.state = State::Serviced;
    }
}

void Ports::dropQueue()
{
    for (const std::string &port : queue) {
        say("port " + port + ": not serviced: stopping");
        known.erase(port);
    }
    queue.clear();
}

std::map<std::string, std::string> Ports::standing() const
{
    std::map<std::string, std::string> where;
    for (const auto &[port, numbers] : ignored)
        where[port] = "ignored";
    for (const auto &[port, p] : known)
        where[port] = p.state == State::Queued ? "waiting" : p.state == State::Running ? "in service" : "serviced";
    return where;
}
