// history: the services a bench's record holds, read only.
#include <cstdio>

#include "bench/bench_record.h"
#include "panel_tool/command_line.h"

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

void printCsv(const std::vector<std::string> &columns, const std::vector<Json> &rows)
{
    std::string line;
    for (const std::string &column : columns)
        line += (line.empty() ? "" : ",") + column;
    std::printf("%s\r\n", line.c_str());
    for (const Json &row : rows) {
        line.clear();
        for (std::size_t c = 0; c < columns.size(); ++c)
            line += (c > 0 ? "," : "") + csvField(row[columns[c]]);
        std::printf("%s\r\n", line.c_str());
    }
}

void printTable(const std::vector<Json> &rows)
{
    std::printf("%-21s %-11s %-13s %6s %8s  %s\n", "TIME", "PORT", "RESULT", "PAGES", "SECONDS", "CAUSE");
    for (const Json &row : rows)
        std::printf("%-21s %-11s %-13s %6s %8.1f  %s\n", textIn(row, "time").c_str(), textIn(row, "port").c_str(),
                    textIn(row, "result").c_str(), row["pages_written"].dump().c_str(),
                    row["seconds"].is_number() ? row["seconds"].get<double>() : 0.0, textIn(row, "cause").c_str());
}

} // namespace

// Every service's row that matches --port, --since and --result, as a
// table, CSV or JSON.
int runHistory(Invocation &in)
{
    if (in.bench.record.empty())
        return usageError("history needs --record FILE, the bench's record");
    if (in.csv && in.json)
        return usageError("give --csv or --json, not both");
    if (!in.since.empty() && !recordedTime(in.since, in.since))
        return usageError("--since takes a UTC time, 2026-12-08 or 2026-12-08T09:30:00Z, not '" + in.since + "'");
    std::vector<std::string> columns;
    std::vector<Json> rows;
    std::string error;
    if (!readHistory(in.bench.record, HistoryQuery{in.port, in.since, in.result}, columns, rows, error)) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, error.c_str());
        return kUnusable;
    }
    if (in.json) {
        Json array = Json::array();
        for (const Json &row : rows)
            array.push_back(row);
        std::printf("%s\n", oneLine(array).c_str());
    } else if (in.csv) {
        printCsv(columns, rows);
    } else {
        printTable(rows);
    }
    return kDone;
}
