// Panels plugged in and pulled out, as udev tells them once its rules have
// run (so a panel's node already has the mode and group the rule gives).
// Linux only, through libudev; elsewhere start() says it cannot.
#pragma once

#include <memory>
#include <string>
#include <vector>

// A panel plugged in, or a device (maybe a panel) pulled out of a port.
struct PlugEvent {
    bool pluggedIn = false;
    std::string port;
    // Plugged in: its bus and device numbers. A panel plugged in again
    // gets a new device number, so the same numbers twice are one plug-in.
    int bus = 0;
    int device = 0;
};

class PlugEvents {
public:
    PlugEvents();
    ~PlugEvents();
    PlugEvents(const PlugEvents &) = delete;
    PlugEvents &operator=(const PlugEvents &) = delete;

    // Starts listening; false, with `error`, when the system cannot tell.
    bool start(std::string &error);
    // The descriptor to wait on for events.
    int fd() const;
    // The events that have arrived; never blocks.
    std::vector<PlugEvent> take();
    // Stops listening (the descriptor is closed).
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};
