// One panel, open: its bootloader answering, one of its RAM drivers
// running, and that driver's memory offered page by page. Every service
// and every read-back goes through a session; the driver clients below
// it send the requests.
#pragma once

#include <cstdint>
#include <vector>

#include "devlink/boot_link.h"
#include "devlink/failure.h"
#include "devlink/progress.h"
#include "devlink/ram_driver.h"
#include "lang_loader/serial_flash_driver.h"
#include "panel_flasher/panel_flash_driver.h"
#include "panel_service/plan.h"

// Which panel: the first the USB library lists (bus 0), or the one at
// bus and device.
struct PanelChoice {
    int bus = 0;
    int device = 0;
};

class PanelSession {
public:
    PanelSession() = default;
    PanelSession(const PanelSession &) = delete;
    PanelSession &operator=(const PanelSession &) = delete;

    // Opens the chosen panel and pings its bootloader.
    bool open(const PanelChoice &choice);
    // Uploads `driver`, the RAM driver of `memory`, which the requests
    // below then address.
    bool uploadDriver(Memory memory, const ImageHolder &driver, const Progress &progress);
    // Has the driver initialise its memory.
    bool init();
    // All three.
    bool begin(const PanelChoice &choice, Memory memory, const ImageHolder &driver, const Progress &progress);

    // `pages` (as the memory's file has them), in the order given, each
    // read into `into` at its own place; reported as `phase`.
    bool read(const std::vector<uint32_t> &pages, Bytes &into, Phase phase, const Progress &progress);
    // Erases `sectors`, in order (the flash's).
    bool erase(const std::vector<uint32_t> &sectors, const Progress &progress);
    // Writes `pages`, in order, each as `from` has it at its place.
    bool write(const std::vector<uint32_t> &pages, const Bytes &from, const Progress &progress);

    // Why the last call failed.
    const Failure &failure() const { return failed; }

private:
    bool step(bool ok, const Failure &why);

    BootLink link;
    PanelFlashDriver flash{&link};
    SerialFlashDriver serial{&link};
    Memory memory = Memory::Flash;
    Failure failed;
};
