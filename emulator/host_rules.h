// The rules a host must follow with the panel, whatever carries the
// transfers: a front end reports what the host did and collects the
// violations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace emu {

class HostRules {
public:
    // A transfer the host starts, and whether each rule about it holds.
    void transferStarted(bool in, bool toThePanel, bool configuredAndClaimed, bool bulkOnPanelEndpoint);
    // A fault ended a transfer: the host must give up, not try again.
    void transferFailed() { failedBefore = true; }
    // The panel was plugged in again: a new host may start afresh.
    void pluggedInAgain() { failedBefore = false; }
    // The host went on after the panel was unplugged.
    void transferAfterUnplug();
    // The host asked for fewer bytes than the packet the panel had ready.
    void inTooShort(std::size_t asked, std::size_t ready);
    // How the host left the panel when it ended.
    void hostEnded(bool interfaceStillClaimed, bool deviceStillOpen);

    const std::vector<std::string> &violations() const { return problems; }

private:
    bool failedBefore = false;
    std::vector<std::string> problems;
};

} // namespace emu
