#include "bench/bench_record.h"

#include "bench/sqlite_statement.h"

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
    " cause TEXT NOT NULL, backup TEXT,"
    " language_signer_key_id TEXT, language_signer_key_file TEXT, language_trusted_comment TEXT,"
    " firmware_signer_key_id TEXT, firmware_signer_key_file TEXT, firmware_trusted_comment TEXT);"
    "CREATE INDEX IF NOT EXISTS services_by_port ON services (port, time);"
    "CREATE TABLE IF NOT EXISTS benches (time TEXT NOT NULL, station TEXT NOT NULL);";

// What takes a record from each schema version v to v + 1, in place, its
// rows kept (kMigrations[v]). A record made anew gets the whole schema
// above.
const char *const kMigrations[] = {
    nullptr,
    // 2: who signed each file.
    "ALTER TABLE services ADD COLUMN language_signer_key_id TEXT;"
    "ALTER TABLE services ADD COLUMN language_signer_key_file TEXT;"
    "ALTER TABLE services ADD COLUMN language_trusted_comment TEXT;"
    "ALTER TABLE services ADD COLUMN firmware_signer_key_id TEXT;"
    "ALTER TABLE services ADD COLUMN firmware_signer_key_file TEXT;"
    "ALTER TABLE services ADD COLUMN firmware_trusted_comment TEXT;",
};
static_assert(sizeof kMigrations / sizeof *kMigrations == kRecordSchemaVersion, "a migration per version");

} // namespace

BenchRecord::~BenchRecord() { sqlite3_close(db); }

bool BenchRecord::run(const char *sql, std::string &error)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = sqliteError(db);
    return false;
}

bool BenchRecord::open(const std::string &path, const std::string &station, std::string &error)
{
    const std::string where = "the record " + path + ": ";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        error = where + sqliteError(db);
        return false;
    }
    // A writer waits for a reader's moment rather than failing.
    sqlite3_busy_timeout(db, 5000);
    {
        Statement mode(db, "PRAGMA journal_mode=WAL");
        if (!mode || sqlite3_step(mode.get()) != SQLITE_ROW) {
            error = where + sqliteError(db);
            return false;
        }
        const std::string kept = reinterpret_cast<const char *>(sqlite3_column_text(mode.get(), 0));
        if (kept != "wal") {
            error = where + "its file system cannot keep it in WAL mode (it keeps '" + kept + "')";
            return false;
        }
        // The WAL's files stay when the bench ends, so that a reader that
        // may not write the folder (the view) can still read the record.
        int persist = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    // Every commit on the disk before the bench goes on. The version is
    // read inside the transaction, so that two benches opening one record
    // of an earlier release migrate it once.
    if (!run("PRAGMA synchronous=FULL; BEGIN IMMEDIATE", error)) {
        error = where + error;
        return false;
    }
    int version = 0;
    {
        Statement user(db, "PRAGMA user_version");
        if (user && sqlite3_step(user.get()) == SQLITE_ROW)
            version = sqlite3_column_int(user.get(), 0);
    }
    bool made = version <= kRecordSchemaVersion && (version > 0 || run(kSchema, error));
    if (version > kRecordSchemaVersion)
        error = "it was made by a later release (schema " + std::to_string(version) + ")";
    for (int from = version == 0 ? kRecordSchemaVersion : version; made && from < kRecordSchemaVersion; ++from)
        made = run(kMigrations[from], error);
    if (!made || !run(("PRAGMA user_version=" + std::to_string(kRecordSchemaVersion)).c_str(), error)) {
        error = where + error;
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    Statement started(db, "INSERT INTO benches (time, station) VALUES (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?1)");
    started.text(1, station);
    if (!started || sqlite3_step(started.get()) != SQLITE_DONE || !run("COMMIT", error)) {
        error = where + sqliteError(db);
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
        error = sqliteError(db);
        return false;
    }
    for (std::size_t i = 0; i < columns.size(); ++i)
        row.bind(static_cast<int>(i + 1), columns[i].second);
    if (!run("BEGIN IMMEDIATE", error))
        return false;
    if (sqlite3_step(row.get()) != SQLITE_DONE) {
        error = sqliteError(db);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return run("COMMIT", error);
}
