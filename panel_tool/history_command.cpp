// history: the services a bench's record holds, read only.
#include <cstdio>

#include "bench/history.h"
#include "panel_tool/command_line.h"

namespace {

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
    if (in.json || in.csv) {
        const std::string text = in.json ? historyJson(rows) : historyCsv(columns, rows);
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        printTable(rows);
    }
    return kDone;
}
