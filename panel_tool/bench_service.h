// One panel's service on the bench, in a process of its own: libusb-0.1
// keeps global state and is not safe across threads, and a process that
// fails or hangs takes no other panel with it. The service writes the
// language, if there is one, then the firmware, each read back unless told
// not to, and stops at the first that fails. It tells the bench what it
// does through a pipe, one line per message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "devlink/panel_list.h"
#include "devlink/progress.h"
#include "panel_service/service.h"

// What every service writes, read and checked before the bench waits.
struct BenchFiles {
    FirmwareInput firmware;
    LanguageInput language;
    bool withLanguage = false;
    bool verify = true;
    bool full = false;
    std::string backup;  // the folder of every panel's backup; none when empty

    // "language", "firmware": the steps in the order they run.
    std::vector<std::string> steps() const;
    // The file a step writes.
    const std::string &fileOf(const std::string &step) const;
    const std::string &sha256Of(const std::string &step) const;
};

// Starts the service of `panel` in a new process (which works on its own
// copy of `files`), which closes
// `othersFds` (the bench's own) and ignores the signals that stop the
// bench: an interrupted flash leaves a panel that does not start. Its
// messages arrive on `messages` (non-blocking). False, with errno, when no
// process could be started.
bool startService(BenchFiles &files, const PanelPlace &panel, const std::vector<int> &othersFds, pid_t &pid,
                  int &messages);

// What a service has told so far.
class ServiceNews {
public:
    struct Step {
        std::string name;  // "language", "firmware"
        int status = 3;    // as panel_tool's: 0 done, 1 mismatch, 3 failed
        // The service's record of the step (ServiceResult::record()).
        Record record;

        std::string result() const;
        uint32_t pagesWritten() const;
        std::string cause() const;  // the cause, or the mismatch
    };

    // Takes bytes read from the pipe; whole lines are understood.
    void take(const char *bytes, std::size_t n);

    std::string step;  // the step under way
    bool inPhase = false;
    Phase phase = Phase::DriverUpload;
    uint32_t done = 0;
    uint32_t total = 0;
    std::vector<Step> ended;

private:
    void understand(const std::string &line);
    std::string partial;
};
