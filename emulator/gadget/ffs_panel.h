// The panel on the gadget side of a real USB controller: a FunctionFS
// function whose endpoints carry the panel model's frames, so that the
// kernel's own USB stack stands between the host program and the panel.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "emulator/host_rules.h"
#include "emulator/panel_model.h"
#include "emulator/transfer_faults.h"

namespace emu {

class FfsPanel {
public:
    // `ffsDir` is where the FunctionFS instance is mounted; `udc` the
    // controller whose soft_connect an unplug writes.
    FfsPanel(const std::string &ffsDir, const std::string &udc, ModelFaults modelFaults,
             TransferFaults transferFaults, PanelStart start);
    ~FfsPanel();

    // Writes the descriptors and strings to ep0 and opens the endpoints.
    // The function may be bound to the controller once this succeeds.
    bool start(std::string &error);
    // Answers ep0 events until the process ends (a thread of its own).
    void serveEvents();
    // Moves frames between the endpoints and the model until a fault
    // ends the panel's part (a thread of its own).
    void serveTransfers();

    // Writes what the panel holds into `dir`: serial.bin, flash.bin,
    // ram.bin, violations.txt and summary.txt; and first-frame, when the
    // host's first frame arrived (seconds since boot).
    bool writeResults(const std::string &dir);

    // After an unplug (a Gone fault), plug the panel in again this many
    // milliseconds later; -1: it stays unplugged.
    int replugAfterMs = -1;

private:
    void serveIn(const std::vector<uint8_t> &bytes, bool &stop);
    void serveOut(std::size_t length, bool &stop);
    bool actOut(TransferFault fault, int fd, bool in, bool &stop);
    bool halt(int fd, bool in);
    void unplug();
    void plugIn();

    std::string ffsDir;
    std::string udc;
    int ep0 = -1;
    int epOut = -1;
    int epIn = -1;
    std::mutex lock;  // the model and the rules; never held while blocked
    PanelModel model;
    HostRules rules;
    FaultCounter faults;
    std::atomic<bool> unplugged{false};
    double firstFrameAt = -1;
};

} // namespace emu
