// What panel_tool does to one memory of one panel: a firmware flashed, or
// a language loaded. The memory is read first, and only what differs from
// what panel_flasher or lang_loader would leave there is erased and
// written, then read back; a panel that already holds the file is left
// untouched. A full service sends exactly what those programs send, then
// reads back what it wrote. What the panel held can be saved first (a
// Backup). The result is one value, the same for a person, a script (JSON)
// and the bench's records.
#pragma once

#include <cstdint>
#include <string>

#include "devlink/failure.h"
#include "devlink/panel_list.h"
#include "devlink/progress.h"
#include "panel_service/backup.h"
#include "panel_service/panel_file.h"
#include "panel_service/plan.h"
#include "panel_service/json_text.h"

struct ServiceOptions {
    bool verify = true;  // read back what was written
    // As panel_flasher or lang_loader: everything erased and written, and
    // nothing read first unless a backup needs it.
    bool full = false;
    // What the panel held is saved here before anything is erased or
    // written; none when null.
    Backup *backup = nullptr;
};

// How a service or a read-back ended.
enum class ServiceEnd : uint8_t {
    Verified,     // written, read back and found whole
    Written,      // written, not read back (not asked)
    AlreadyHeld,  // nothing differed: nothing erased or written
    Mismatch,     // the memory does not hold the file
    Failed,       // a step failed, or the panel, a driver or a file could not be used
    Match,        // a read-back's: the memory holds the file
    Saved,        // a read-back's: what the memory holds, saved
};

// "verified", "written", "already held", "mismatch", "failed", "match",
// "saved": as results and records name them (and any other name, failed).
NLOHMANN_JSON_SERIALIZE_ENUM(ServiceEnd, {{ServiceEnd::Failed, "failed"},
                                          {ServiceEnd::Verified, "verified"},
                                          {ServiceEnd::Written, "written"},
                                          {ServiceEnd::AlreadyHeld, "already held"},
                                          {ServiceEnd::Mismatch, "mismatch"},
                                          {ServiceEnd::Match, "match"},
                                          {ServiceEnd::Saved, "saved"}})
inline std::string nameOf(ServiceEnd end) { return Json(end).get<std::string>(); }
// Written, verified, already held, matched or saved.
inline bool endedWell(ServiceEnd end) { return end != ServiceEnd::Failed && end != ServiceEnd::Mismatch; }

// What the panel held before the service, as it was read.
struct Held {
    bool read = false;
    std::string sha256;  // of the memory as read: the language as a file has it, the whole firmware range
    int bootCheck = -1;  // the firmware's: 1 passed, 0 failed; -1 not known
};

struct ServiceResult {
    std::string command;  // "flash", "load-language", ...
    std::string port;     // the panel's port; empty where the system gives none
    std::string file;
    std::string sha256;
    Signer signer;  // who signed the file, when its signature was checked
    Held held;
    uint32_t sectorsErased = 0;
    uint32_t pagesWritten = 0;
    uint32_t pagesSkipped = 0;   // read and found equal, so neither erased nor written
    uint32_t pagesVerified = 0;  // read back after the writes
    uint32_t pagesRead = 0;      // read first
    std::string backup;          // the backup's folder, when one was saved
    double seconds = 0;
    ServiceEnd end = ServiceEnd::Failed;
    Comparison comparison;  // on Mismatch
    Failure failure;        // on Failed
    // Why it failed or what differs, in a person's words; empty otherwise.
    std::string cause;
    // Failed where the panel or its connection failed: plugging it in
    // again may cure it. A mismatch (a page that does not keep what is
    // written) or a file that cannot be used is not cured so.
    bool replugMayCure = false;
};

// The result as JSON documents, the pipe from a bench's service and the
// bench's log give it, and back.
void to_json(Json &json, const ServiceResult &result);
void from_json(const Json &json, ServiceResult &result);

// "mismatch: flash page 64 differs first, at offset 0x05: the file has
// 0x3B, the panel 0x2B; 2 of 8 pages differ"; `memory` is "flash" or
// "serial flash".
std::string describeMismatch(const Comparison &comparison, const char *memory);
// A result's cause: the failure, or the mismatch in `memory`, in a
// person's words; empty when it ended well.
std::string causeOf(const ServiceResult &result, const char *memory);

// Whether a failure is the panel's or its connection's (not answering,
// unplugged, refusing to be opened), which plugging it in again may cure.
bool replugMayCure(const Failure &failure);

// The service of `file`'s memory on `panel`.
ServiceResult serviceMemory(const PanelPlace &panel, const PanelFile &file, const ServiceOptions &options,
                            const Progress &progress);
