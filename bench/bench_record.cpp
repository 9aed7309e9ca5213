#include "bench/bench_record.h"

#include <ctime>
#include <regex>
#include <sqlite3.h>

#include "panel_service/utc_time.h"

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
    // A JSON value as its column keeps it: null as NULL, a truth as 1 or 0.
    void bind(int at, const Json &value)
    {
        if (value.is_string()) {
            const std::string &t = value.get_ref<const std::string &>();
            sqlite3_bind_text(statement, at, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
        } else if (value.is_boolean()) {
            number(at, value.get<bool>() ? 1 : 0);
        } else if (value.is_number_float()) {
            sqlite3_bind_double(statement, at, value.get<double>());
        } else if (value.is_number()) {
            number(at, value.get<int64_t>());
        } else {
            sqlite3_bind_null(statement, at);
        }
    }

private:
    sqlite3_stmt *statement = nullptr;
};

std::string why(sqlite3 *db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

} // namespace

BenchRecord::~BenchRecord() { sqlite3_close(db); }

bool BenchRecord::run(const char *sql, std::string &error)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = why(db);
    return false;
}

bool BenchRecord::open(const std::string &path, const std::string &station, std::string &error)
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

// The row's columns as the entry's list gives them, in one transaction,
// on the disk when it commits.
bool BenchRecord::add(const ServiceEntry &entry, std::string &error)
{
    const auto columns = recordRow(entry);
    std::string names, values;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        names += (i > 0 ? ", " : "") + columns[i].first;
        values += (i > 0 ? ", ?" : "?") + std::to_string(i + 1);
    }
    Statement row(db, ("INSERT INTO services (" + names + ") VALUES (" + values + ")").c_str());
    if (!row) {
        error = why(db);
        return false;
    }
    for (std::size_t i = 0; i < columns.size(); ++i)
        row.bind(static_cast<int>(i + 1), columns[i].second);
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
    if (strptime(text.c_str(), kUtcTime, &t) == nullptr || utcText(timegm(&t)) != text)
        return false;
    recorded = text;
    return true;
}

bool readHistory(const std::string &path, const HistoryQuery &query, std::vector<std::string> &columns,
                 std::vector<Json> &rows, std::string &error)
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
                Json row = Json::object();
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
