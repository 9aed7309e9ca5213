#include "bench/service_entry.h"

#include <algorithm>
#include <cmath>

namespace {

// Where a field goes: the log (by its name), the record (a column of its
// own, or one a file kind, "firmware_sha256"), the journal ("PANEL_" and
// its name, or the file's kind and its name: "PANEL_FIRMWARE_SHA256").
enum Goes : unsigned { kLog = 1, kColumn = 2, kJournal = 4 };

// A field of the service, in the log's order; "files" stands for the
// fields of each file.
struct Field {
    const char *name;
    unsigned goes;
    Json (*value)(const ServiceEntry &);
};

// A field of each file, in the order of the log's file objects.
struct PerFile {
    const char *name;
    unsigned goes;
    Json (*value)(const FileEntry &);
    const char *onlyFor;  // the kind whose record has a column of it; null: every kind
};

Json text(const std::string &value) { return value.empty() ? Json(nullptr) : Json(value); }

const FileEntry *fileOf(const ServiceEntry &e, const std::string &kind)
{
    const auto f = std::find_if(e.files.begin(), e.files.end(), [&kind](const FileEntry &file) { return file.kind == kind; });
    return f != e.files.end() ? &*f : nullptr;
}

// What a file's step gave, null for a step that did not run.
template <typename T, T ServiceResult::*field> Json ofRun(const FileEntry &f)
{
    return f.ran ? Json(f.result.*field) : Json(nullptr);
}

// The sum of a count over the files whose steps ran.
template <uint32_t ServiceResult::*count> Json total(const ServiceEntry &e)
{
    uint32_t sum = 0;
    for (const FileEntry &f : e.files)
        sum += f.ran ? f.result.*count : 0;
    return sum;
}

const Field kServiceFields[] = {
    {"time", kLog | kColumn, [](const ServiceEntry &e) { return Json(e.time); }},
    {"station", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.station); }},
    {"port", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.port); }},
    {"files", kLog, nullptr},
    {"pages_written", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.pagesWritten); }},
    {"verified", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.verified); }},
    {"seconds", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(std::round(e.seconds * 1000) / 1000); }},
    {"result", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.result); }},
    {"step", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.step); }},
    {"cause", kLog | kColumn | kJournal, [](const ServiceEntry &e) { return Json(e.cause); }},
    {"sectors_erased", kColumn,
     [](const ServiceEntry &e) {
         const FileEntry *f = fileOf(e, "firmware");
         return Json(f != nullptr && f->ran ? f->result.sectorsErased : 0u);
     }},
    {"pages_skipped", kColumn, total<&ServiceResult::pagesSkipped>},
    {"backup", kColumn | kJournal,
     [](const ServiceEntry &e) {
         std::string backup;
         for (const FileEntry &f : e.files)
             backup = f.ran && !f.result.backup.empty() ? f.result.backup : backup;
         return text(backup);
     }},
};

const PerFile kFileFields[] = {
    {"kind", kLog, [](const FileEntry &f) { return Json(f.kind); }, nullptr},
    {"file", kLog | kColumn | kJournal, [](const FileEntry &f) { return Json(f.file); }, nullptr},
    {"sha256", kLog | kColumn | kJournal, [](const FileEntry &f) { return Json(f.sha256); }, nullptr},
    {"signer_key_id", kLog | kColumn | kJournal, [](const FileEntry &f) { return text(f.signer.keyId); }, nullptr},
    {"signer_key_file", kLog | kColumn | kJournal, [](const FileEntry &f) { return text(f.signer.keyFile); },
     nullptr},
    {"trusted_comment", kLog | kColumn | kJournal, [](const FileEntry &f) { return text(f.signer.trustedComment); },
     nullptr},
    {"held_sha256", kLog | kColumn | kJournal,
     [](const FileEntry &f) { return f.ran ? text(f.result.held.sha256) : Json(nullptr); }, nullptr},
    {"held_boot_check", kLog | kColumn | kJournal,
     [](const FileEntry &f) {
         return f.ran && f.result.held.bootCheck >= 0 ? Json(f.result.held.bootCheck == 1) : Json(nullptr);
     },
     "firmware"},
    {"sectors_erased", kLog, ofRun<uint32_t, &ServiceResult::sectorsErased>, nullptr},
    {"pages_written", kLog, ofRun<uint32_t, &ServiceResult::pagesWritten>, nullptr},
    {"pages_skipped", kLog, ofRun<uint32_t, &ServiceResult::pagesSkipped>, nullptr},
    {"pages_verified", kLog, ofRun<uint32_t, &ServiceResult::pagesVerified>, nullptr},
    {"backup", kLog, [](const FileEntry &f) { return f.ran ? text(f.result.backup) : Json(nullptr); }, nullptr},
    {"result", kLog | kColumn, [](const FileEntry &f) { return f.ran ? Json(nameOf(f.result.end)) : Json(nullptr); },
     nullptr},
};

// A value as the log gives it: a text that is not UTF-8 with its bytes
// beside it.
void putInLog(Json &into, const char *name, const Json &value)
{
    if (value.is_string())
        putText(into, name, value.get<std::string>());
    else
        into[name] = value;
}

std::string journalName(const std::string &name)
{
    std::string upper = "PANEL_" + name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
}

} // namespace

Json logLine(const ServiceEntry &e)
{
    Json line = Json::object();
    for (const Field &field : kServiceFields) {
        if ((field.goes & kLog) != 0 && field.value != nullptr) {
            putInLog(line, field.name, field.value(e));
        } else if (field.goes & kLog) {
            line[field.name] = Json::array();
            for (const FileEntry &f : e.files) {
                Json file = Json::object();
                for (const PerFile &per : kFileFields)
                    if (per.goes & kLog)
                        putInLog(file, per.name, per.value(f));
                line[field.name].push_back(file);
            }
        }
    }
    return line;
}

std::vector<std::pair<std::string, Json>> recordRow(const ServiceEntry &e)
{
    std::vector<std::pair<std::string, Json>> row;
    for (const Field &field : kServiceFields)
        if (field.goes & kColumn)
            row.emplace_back(field.name, field.value(e));
    for (const std::string kind : {"language", "firmware"}) {
        const FileEntry *f = fileOf(e, kind);
        for (const PerFile &per : kFileFields)
            if ((per.goes & kColumn) && (per.onlyFor == nullptr || per.onlyFor == kind))
                row.emplace_back(kind + "_" + per.name, f != nullptr ? per.value(*f) : Json(nullptr));
    }
    return row;
}

// A text as it is, a truth as 1 or 0; nothing for none.
std::vector<std::string> journalFields(const ServiceEntry &e)
{
    std::vector<std::string> fields;
    auto add = [&fields](const std::string &name, const Json &value) {
        if (value.is_string() && !value.get<std::string>().empty())
            fields.push_back(name + "=" + value.get<std::string>());
        else if (value.is_boolean() || value.is_number())
            fields.push_back(name + "=" + (value.is_boolean() ? (value.get<bool>() ? "1" : "0") : value.dump()));
    };
    for (const Field &field : kServiceFields)
        if (field.goes & kJournal)
            add(journalName(field.name), field.value(e));
    for (const FileEntry &f : e.files)
        for (const PerFile &per : kFileFields)
            if (per.goes & kJournal)
                add(journalName(f.kind + (std::string(per.name) == "file" ? "" : std::string("_") + per.name)),
                    per.value(f));
    return fields;
}
