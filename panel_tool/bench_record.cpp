#include "panel_tool/bench_record.h"

#include <cmath>
#include <ctime>
#include <regex>
#include <sqlite3.h>

namespace {

// The record's table of services, one row each; and the benches that
// opened it, each a real write made before any panel is touched.
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS services ("
    " id INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL,"  // when it ended, UTC
    " station TEXT NOT NULL,"
    " port TEXT NOT NULL,"
    " language_file TEXT, language_sha256 TEXT, language_held_sha256 TEXT, language_result TEXT,"
    " firmware_file TEXT, firmware_sha256 TEXT, firmware_held_sha256 TEXT, firmware_held_boot_check INTEGER,"
    " firmware_result TEXT,"
    " sectors_erased INTEGER NOT NULL, pages_written INTEGER NOT NULL, pages_skipped INTEGER NOT NULL,"
    " verified INTEGER NOT NULL, seconds REAL NOT NULL, result TEXT NOT NULL, step TEXT NOT NULL,"
    " cause TEXT NOT NULL, backup TEXT);"
    "CREATE INDEX IF NOT EXISTS services_by_port ON services (port, time);"
    "CREATE TABLE IF NOT EXISTS benches (time TEXT NOT NULL, station TEXT NOT NULL);";

const char kInsert[] =
    "INSERT INTO services (time, station, port, language_file, language_sha256, language_held_sha256,"
    " language_result, firmware_file, firmware_sha256, firmware_held_sha256, firmware_held_boot_check,"
    " firmware_result, sectors_erased, pages_written, pages_skipped, verified, seconds, result, step, cause,"
    " backup) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19,"
    " ?20, ?21)";

// A statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &statement, nullptr); }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    explicit operator bool() const { return statement != nullptr; }
    sqlite3_stmt *get() const { return statement; }

    void text(int at, const std::string &value)
    {
        if (value.empty())
            sqlite3_bind_null(statement, at);
        else
            sqlite3_bind_text(statement, at, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void number(int at, int64_t value) { sqlite3_bind_int64(statement, at, value); }

private:
    sqlite3_stmt *statement = nullptr;
};

std::string why(sqlite3 *db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

const FileEntry *fileOf(const ServiceEntry &entry, const std::string &kind)
{
    for (const FileEntry &f : entry.files)
        if (f.kind == kind)
            return &f;
    return nullptr;
}

} // namespace

FileEntry fileEntryOf(const std::string &kind, const std::string &file, const std::string &sha256,
                      const Record *step)
{
    FileEntry f;
    f.kind = kind;
    f.file = file;
    f.sha256 = sha256;
    if (step == nullptr)
        return f;
    f.ran = true;
    f.heldSha256 = textIn(*step, "held_sha256");
    const auto boot = step->find("held_boot_check");
    f.heldBootCheck = boot != step->end() && boot->is_boolean() ? (boot->get<bool>() ? 1 : 0) : -1;
    auto count = [step](const char *key) {
        const auto n = step->find(key);
        return n != step->end() && n->is_number_unsigned() ? n->get<uint32_t>() : 0u;
    };
    f.sectorsErased = count("sectors_erased");
    f.pagesWritten = count("pages_written");
    f.pagesSkipped = count("pages_skipped");
    f.pagesVerified = count("pages_verified");
    f.backup = textIn(*step, "backup");
    f.result = textIn(*step, "result");
    return f;
}

Record logLine(const ServiceEntry &entry)
{
    Record files = Record::array();
    for (const FileEntry &f : entry.files) {
        Record file = {{"kind", f.kind}};
        putText(file, "file", f.file);
        file["sha256"] = f.sha256;
        file["held_sha256"] = f.heldSha256.empty() ? Record(nullptr) : Record(f.heldSha256);
        file["held_boot_check"] = f.heldBootCheck < 0 ? Record(nullptr) : Record(f.heldBootCheck == 1);
        file["sectors_erased"] = f.ran ? Record(f.sectorsErased) : Record(nullptr);
        file["pages_written"] = f.ran ? Record(f.pagesWritten) : Record(nullptr);
        file["pages_skipped"] = f.ran ? Record(f.pagesSkipped) : Record(nullptr);
        file["pages_verified"] = f.ran ? Record(f.pagesVerified) : Record(nullptr);
        putTextOrNull(file, "backup", f.backup);
        file["result"] = f.ran ? Record(f.result) : Record(nullptr);
        files.push_back(file);
    }
    Record line = {{"time", entry.time}};
    putText(line, "station", entry.station);
    putText(line, "port", entry.port);
    line["files"] = files;
    line["pages_written"] = entry.pagesWritten;
    line["verified"] = entry.verified;
    line["seconds"] = std::round(entry.seconds * 1000) / 1000;
    line["result"] = entry.result;
    line["step"] = entry.step;
    putText(line, "cause", entry.cause);
    return line;
}

BenchDatabase::~BenchDatabase() { sqlite3_close(db); }

bool BenchDatabase::run(const char *sql, std::string &error)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = why(db);
    return false;
}

bool BenchDatabase::open(const std::string &path, const std::string &station, std::string &error)
{
    const std::string where = "the record " + path + ": ";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        error = where + why(db);
        return false;
    }
    // A writer waits for a reader's moment rather than failing.
    sqlite3_busy_timeout(db, 5000);
    int version = 0;
    {
        Statement mode(db, "PRAGMA journal_mode=WAL");
        if (!mode || sqlite3_step(mode.get()) != SQLITE_ROW) {
            error = where + why(db);
            return false;
        }
        const std::string kept = reinterpret_cast<const char *>(sqlite3_column_text(mode.get(), 0));
        if (kept != "wal") {
            error = where + "its file system cannot keep it in WAL mode (it keeps '" + kept + "')";
            return false;
        }
        Statement user(db, "PRAGMA user_version");
        if (user && sqlite3_step(user.get()) == SQLITE_ROW)
            version = sqlite3_column_int(user.get(), 0);
    }
    if (version > kRecordSchemaVersion) {
        error = where + "it was made by a later release (schema " + std::to_string(version) + ")";
        return false;
    }
    // Every commit on the disk before the bench goes on.
    if (!run("PRAGMA synchronous=FULL; BEGIN IMMEDIATE", error) || !run(kSchema, error) ||
        !run(("PRAGMA user_version=" + std::to_string(kRecordSchemaVersion)).c_str(), error)) {
        error = where + error;
        return false;
    }
    Statement started(db, "INSERT INTO benches (time, station) VALUES (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?1)");
    started.text(1, station);
    if (!started || sqlite3_step(started.get()) != SQLITE_DONE || !run("COMMIT", error)) {
        error = where + why(db);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

bool BenchDatabase::add(const ServiceEntry &e, std::string &error)
{
    const FileEntry *language = fileOf(e, "language"), *firmware = fileOf(e, "firmware");
    const FileEntry none;
    const FileEntry &l = language != nullptr ? *language : none, &f = firmware != nullptr ? *firmware : none;
    uint32_t skipped = 0;
    std::string backup;
    for (const FileEntry &file : e.files) {
        skipped += file.pagesSkipped;
        if (!file.backup.empty())
            backup = file.backup;
    }
    Statement row(db, kInsert);
    if (!row) {
        error = why(db);
        return false;
    }
    row.text(1, e.time);
    row.text(2, e.station);
    row.text(3, e.port);
    row.text(4, l.file);
    row.text(5, l.sha256);
    row.text(6, l.heldSha256);
    row.text(7, l.result);
    row.text(8, f.file);
    row.text(9, f.sha256);
    row.text(10, f.heldSha256);
    if (f.heldBootCheck >= 0)
        row.number(11, f.heldBootCheck);
    row.text(12, f.result);
    row.number(13, f.sectorsErased);
    row.number(14, e.pagesWritten);
    row.number(15, skipped);
    row.number(16, e.verified ? 1 : 0);
    sqlite3_bind_double(row.get(), 17, std::round(e.seconds * 1000) / 1000);
    sqlite3_bind_text(row.get(), 18, e.result.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(row.get(), 19, e.step.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(row.get(), 20, e.cause.c_str(), -1, SQLITE_TRANSIENT);
    row.text(21, backup);
    // One transaction a service, on the disk when it commits.
    if (!run("BEGIN IMMEDIATE", error))
        return false;
    if (sqlite3_step(row.get()) != SQLITE_DONE) {
        error = why(db);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return run("COMMIT", error);
}

bool recordedTime(const std::string &given, std::string &recorded)
{
    static const std::regex kTime(R"((\d{4}-\d\d-\d\d)(?:T(\d\d:\d\d)(:\d\d)?Z?)?)");
    std::smatch m;
    if (!std::regex_match(given, m, kTime))
        return false;
    const std::string text = m[1].str() + "T" + (m[2].matched ? m[2].str() : "00:00") +
                             (m[3].matched ? m[3].str() : ":00") + "Z";
    // Read and written back, a time that is not one (a 30th of February,
    // hour 24) comes out otherwise.
    std::tm t{};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &t) == nullptr)
        return false;
    const std::time_t when = timegm(&t);
    char back[32];
    if (gmtime_r(&when, &t) == nullptr || std::strftime(back, sizeof back, "%Y-%m-%dT%H:%M:%SZ", &t) == 0 ||
        text != back)
        return false;
    recorded = text;
    return true;
}

bool readHistory(const std::string &path, const HistoryQuery &query, std::vector<std::string> &columns,
                 std::vector<Record> &rows, std::string &error)
{
    sqlite3 *db = nullptr;
    const bool opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
    const std::string where = "the record " + path + ": ";
    bool done = false;
    if (opened) {
        sqlite3_busy_timeout(db, 5000);
        Statement select(db, "SELECT time, station, port, result, step, pages_written, pages_skipped,"
                             " sectors_erased, verified, seconds, language_file, language_sha256,"
                             " language_held_sha256, language_result, firmware_file, firmware_sha256,"
                             " firmware_held_sha256, firmware_held_boot_check, firmware_result, backup, cause"
                             " FROM services WHERE (?1 IS NULL OR port = ?1) AND (?2 IS NULL OR time >= ?2)"
                             " AND (?3 IS NULL OR result = ?3) ORDER BY id");
        if (select) {
            select.text(1, query.port);
            select.text(2, query.since);
            select.text(3, query.result);
            const int n = sqlite3_column_count(select.get());
            columns.clear();
            for (int c = 0; c < n; ++c)
                columns.push_back(sqlite3_column_name(select.get(), c));
            int step;
            while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
                Record row = Record::object();
                for (int c = 0; c < n; ++c) {
                    switch (sqlite3_column_type(select.get(), c)) {
                    case SQLITE_INTEGER: row[columns[c]] = sqlite3_column_int64(select.get(), c); break;
                    case SQLITE_FLOAT: row[columns[c]] = sqlite3_column_double(select.get(), c); break;
                    case SQLITE_NULL: row[columns[c]] = nullptr; break;
                    default:
                        putText(row, columns[c],
                                std::string(reinterpret_cast<const char *>(sqlite3_column_text(select.get(), c)),
                                            static_cast<std::size_t>(sqlite3_column_bytes(select.get(), c))));
                    }
                }
                rows.push_back(row);
            }
            done = step == SQLITE_DONE;
        }
    }
    if (!done)
        error = where + why(db);
    sqlite3_close(db);
    return done;
}
