#include "panel_service/service.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "panel_service/panel_session.h"
#include "panel_service/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

// Passes the progress on, and counts what was erased, written and
// verified.
Progress counting(const Progress &outer, ServiceResult &result)
{
    Progress p = outer;
    p.advanced = [outer, &result](Phase phase, uint32_t done) {
        if (phase == Phase::Erase)
            result.sectorsErased = done;
        if (phase == Phase::Write)
            result.pagesWritten = done;
        if (phase == Phase::Verify)
            result.pagesVerified = done;
        outer.advance(phase, done);
    };
    return p;
}

void noteHeld(ServiceResult &r, Memory memory, const Bytes &held)
{
    r.held.read = true;
    r.held.sha256 = sha256Hex(held);
    r.held.bootCheck = memory == Memory::Flash ? (bootCheckPasses(held) ? 1 : 0) : -1;
    r.pagesRead = shapeOf(memory).pages;
}

// The sequence, each step only once those before it succeeded: the panel
// opened and its driver running; the memory read first (unless full
// without a backup) and saved if asked; what differs erased and written,
// and read back. What the memory holds once it ends is established apart
// from the plan that chose what to write, so that a plan that missed a
// difference cannot pass for verified: what was read first, each sector
// erased as erased bytes, each page written as it was sent and then, when
// checked, as it was read back. All of it is compared with what the memory
// should hold; without a first read, the pages written only.
bool run(const PanelPlace &panel, const PanelFile &file, const ServiceOptions &options, const Progress &progress,
         ServiceResult &r)
{
    const Memory memory = file.memory;
    const uint32_t pages = shapeOf(memory).pages;
    PanelSession session;
    const auto failed = [&r, &session]() {
        r.failure = session.failure();
        return false;
    };
    if (!session.begin(PanelChoice{panel.bus, panel.device}, memory, file.driver, progress))
        return failed();
    Bytes now(file.expected.size(), 0xFF);
    const bool readFirst = !options.full || options.backup != nullptr;
    if (readFirst) {
        if (!session.read(firstPages(pages), now, Phase::Read, progress))
            return failed();
        noteHeld(r, memory, now);
    }
    if (options.backup != nullptr) {
        const bool saved = options.backup->save(memory, now, r.failure);
        r.backup = options.backup->path();
        if (!saved)
            return false;
    }
    const Plan plan = options.full ? fullPlan(memory, file.pagesToWrite) : planChanges(memory, file.expected, now);
    r.pagesSkipped = plan.pagesSkipped;
    const bool changes = !plan.sectors.empty() || !plan.pages.empty();
    if (changes) {
        if (!session.erase(plan.sectors, progress) || !session.write(plan.pages, file.expected, progress))
            return failed();
        applyPlan(memory, plan, file.expected, now);
    }
    if (changes && options.verify && !session.read(plan.pages, now, Phase::Verify, progress))
        return failed();
    r.comparison = compareHeld(memory, readFirst ? firstPages(pages) : plan.pages, file.expected, now);
    r.end = !r.comparison.matches() ? ServiceEnd::Mismatch
            : !changes              ? ServiceEnd::AlreadyHeld
            : options.verify        ? ServiceEnd::Verified
                                    : ServiceEnd::Written;
    return true;
}

} // namespace

std::string describeMismatch(const Comparison &c, const char *memory)
{
    char line[200];
    std::snprintf(line, sizeof line,
                  "mismatch: %s page %u differs first, at offset 0x%02X: the file has 0x%02X, the panel 0x%02X; "
                  "%u of %u pages differ",
                  memory, c.firstPage, c.offset, c.fileByte, c.panelByte, c.differing, c.pages);
    return line;
}

std::string causeOf(const ServiceResult &r, const char *memory)
{
    if (r.end == ServiceEnd::Failed)
        return describe(r.failure);
    return r.end == ServiceEnd::Mismatch ? describeMismatch(r.comparison, memory) : std::string();
}

void to_json(Json &json, const ServiceResult &r)
{
    json = Json::object();
    putText(json, "port", r.port);
    json["command"] = r.command;
    putText(json, "file", r.file);
    json["sha256"] = r.sha256;
    json["signer"] = r.signer.keyId.empty() ? Json(nullptr) : Json::object();
    if (!r.signer.keyId.empty()) {
        json["signer"]["key_id"] = r.signer.keyId;
        putText(json["signer"], "key_file", r.signer.keyFile);
        putText(json["signer"], "trusted_comment", r.signer.trustedComment);
    }
    json["held_sha256"] = r.held.read ? Json(r.held.sha256) : Json(nullptr);
    json["held_boot_check"] = r.held.bootCheck < 0 ? Json(nullptr) : Json(r.held.bootCheck == 1);
    json["sectors_erased"] = r.sectorsErased;
    json["pages_written"] = r.pagesWritten;
    json["pages_skipped"] = r.pagesSkipped;
    json["pages_verified"] = r.pagesVerified;
    putTextOrNull(json, "backup", r.backup);
    json["seconds"] = std::round(r.seconds * 1000) / 1000;
    json["result"] = r.end;
    putText(json, "cause", r.cause);
    if (r.end == ServiceEnd::Failed)
        json["replug_may_cure"] = r.replugMayCure;
}

void from_json(const Json &json, ServiceResult &r)
{
    auto count = [&json](const char *key) {
        const auto n = json.find(key);
        return n != json.end() && n->is_number_unsigned() ? n->get<uint32_t>() : 0u;
    };
    r = ServiceResult{};
    r.port = textIn(json, "port");
    r.command = textIn(json, "command");
    r.file = textIn(json, "file");
    r.sha256 = textIn(json, "sha256");
    const auto signer = json.find("signer");
    if (signer != json.end() && signer->is_object())
        r.signer = Signer{textIn(*signer, "key_id"), textIn(*signer, "key_file"), textIn(*signer, "trusted_comment")};
    r.held.sha256 = textIn(json, "held_sha256");
    r.held.read = !r.held.sha256.empty();
    const auto boot = json.find("held_boot_check");
    r.held.bootCheck = boot != json.end() && boot->is_boolean() ? (boot->get<bool>() ? 1 : 0) : -1;
    r.sectorsErased = count("sectors_erased");
    r.pagesWritten = count("pages_written");
    r.pagesSkipped = count("pages_skipped");
    r.pagesVerified = count("pages_verified");
    r.backup = textIn(json, "backup");
    const auto seconds = json.find("seconds");
    r.seconds = seconds != json.end() && seconds->is_number() ? seconds->get<double>() : 0.0;
    r.end = json.contains("result") ? json["result"].get<ServiceEnd>() : ServiceEnd::Failed;
    r.cause = textIn(json, "cause");
    const auto cure = json.find("replug_may_cure");
    r.replugMayCure = cure != json.end() && cure->is_boolean() && cure->get<bool>();
}

bool replugMayCure(const Failure &failure)
{
    switch (failure.kind) {
    case FailureKind::NoPanel:
    case FailureKind::Open:
    case FailureKind::Configure:
    case FailureKind::Claim:
    case FailureKind::Send:
    case FailureKind::Receive:
    case FailureKind::ReplyTooLong:
    case FailureKind::NotBootloader:
    case FailureKind::PageReplyLength:
        return true;
    default:
        return false;
    }
}

ServiceResult serviceMemory(const PanelPlace &panel, const PanelFile &file, const ServiceOptions &options,
                            const Progress &progress)
{
    ServiceResult r;
    r.command = file.memory == Memory::Flash ? "flash" : "load-language";
    r.port = panel.port;
    r.file = file.path;
    r.sha256 = file.sha256;
    r.signer = file.signer;
    const auto began = Clock::now();
    if (!run(panel, file, options, counting(progress, r), r))
        r.end = ServiceEnd::Failed;
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    r.cause = causeOf(r, shapeOf(file.memory).name);
    r.replugMayCure = r.end == ServiceEnd::Failed && replugMayCure(r.failure);
    return r;
}
