#include "bench/history.h"

#include <algorithm>
#include <ctime>
#include <regex>

#include "bench/sqlite_statement.h"
#include "panel_service/utc_time.h"

namespace {

// A field as CSV has it (RFC 4180): quoted when it holds a comma, a quote
// or a line end, its quotes doubled.
std::string csvField(const Json &value)
{
    if (value.is_null())
        return "";
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The columns history gives, in order. The signers' came with schema 2: a
// record of an earlier release, which only a bench migrates, gives them
// as null.
const char *const kColumns[] = {
    "time", "station", "port", "result", "step", "pages_written", "pages_skipped", "sectors_erased", "verified",
    "seconds", "language_file", "language_sha256", "language_held_sha256", "language_result", "firmware_file",
    "firmware_sha256", "firmware_held_sha256", "firmware_held_boot_check", "firmware_result", "backup", "cause",
    "language_signer_key_id", "language_signer_key_file", "language_trusted_comment", "firmware_signer_key_id",
    "firmware_signer_key_file", "firmware_trusted_comment"};

std::string selectedColumns(sqlite3 *db)
{
    std::vector<std::string> present;
    Statement info(db, "SELECT name FROM pragma_table_info('services')");
    while (info && sqlite3_step(info.get()) == SQLITE_ROW)
        present.push_back(reinterpret_cast<const char *>(sqlite3_column_text(info.get(), 0)));
    std::string list;
    for (const std::string column : kColumns)
        list += (list.empty() ? "" : ", ") +
                (std::find(present.begin(), present.end(), column) != present.end() ? column
                                                                                     : "NULL AS " + column);
    return list;
}

} // namespace

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
        Statement select(db, ("SELECT " + selectedColumns(db) +
                              " FROM (SELECT * FROM services WHERE (?1 IS NULL OR port = ?1)"
                              " AND (?2 IS NULL OR time >= ?2) AND (?3 IS NULL OR result = ?3)"
                              " ORDER BY id DESC LIMIT ?4) ORDER BY id")
                                 .c_str());
        if (select) {
            select.text(1, query.port);
            select.text(2, query.since);
            select.text(3, query.result);
            select.number(4, query.last > 0 ? static_cast<int64_t>(query.last) : -1);
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
        error = where + sqliteError(db);
    sqlite3_close(db);
    return done;
}

bool countServices(const std::string &path, const std::string &since, ServiceCounts &counts, std::string &error)
{
    sqlite3 *db = nullptr;
    bool done = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        Statement count(db, "SELECT count(*), count(CASE WHEN result = 'verified' THEN 1 END),"
                            " count(CASE WHEN result IN ('failed', 'mismatch') THEN 1 END)"
                            " FROM services WHERE time >= ?1");
        if (count) {
            count.text(1, since);
            done = sqlite3_step(count.get()) == SQLITE_ROW;
            counts.serviced = done ? static_cast<uint32_t>(sqlite3_column_int64(count.get(), 0)) : 0;
            counts.verified = done ? static_cast<uint32_t>(sqlite3_column_int64(count.get(), 1)) : 0;
            counts.failed = done ? static_cast<uint32_t>(sqlite3_column_int64(count.get(), 2)) : 0;
        }
    }
    if (!done)
        error = "the record " + path + ": " + sqliteError(db);
    sqlite3_close(db);
    return done;
}

std::string historyCsv(const std::vector<std::string> &columns, const std::vector<Json> &rows)
{
    std::string text;
    for (const std::string &column : columns)
        text += (&column != &columns.front() ? "," : "") + column;
    text += "\r\n";
    for (const Json &row : rows) {
        for (std::size_t c = 0; c < columns.size(); ++c)
            text += (c > 0 ? "," : "") + csvField(row[columns[c]]);
        text += "\r\n";
    }
    return text;
}

std::string historyJson(const std::vector<Json> &rows)
{
    Json array = Json::array();
    for (const Json &row : rows)
        array.push_back(row);
    return oneLine(array) + "\n";
}
