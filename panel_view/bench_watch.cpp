#include "panel_view/bench_watch.h"

#include <ctime>

#include "panel_service/utc_time.h"

namespace {

// The bench publishes at least twice a second: a state older than this
// tells of a bench that stopped without saying so (killed, or its machine
// hung).
constexpr double kStale = 1.3;

std::time_t timeOf(const std::string &utc)
{
    std::tm t{};
    return strptime(utc.c_str(), kUtcTime, &t) != nullptr ? timegm(&t) : 0;
}

// "2 h 14 min", "5 min", "40 s".
std::string spanOf(long seconds)
{
    if (seconds < 60)
        return std::to_string(seconds < 0 ? 0 : seconds) + " s";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min";
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

// This day's midnight on the station's clock, as the record keeps times.
std::string midnightToday()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return utcText(std::mktime(&local));
}

bool sameResults(const LiveBench &a, const LiveBench &b)
{
    if (a.sockets.size() != b.sockets.size())
        return false;
    for (std::size_t i = 0; i < a.sockets.size(); ++i)
        if (a.sockets[i].ended != b.sockets[i].ended)
            return false;
    return true;
}

} // namespace

void BenchWatch::readLiveState(ViewState &state) const
{
    double age = 0;
    state.live = !livePath.empty() && readLive(livePath, state.bench, age);
    state.running = state.live && state.bench.running && age < kStale;
    state.runningFor = state.running ? spanOf(static_cast<long>(std::time(nullptr) - timeOf(state.bench.started))) : "";
}

void BenchWatch::readRecord(ViewState &state)
{
    recordReadAt = Clock::now();
    std::vector<std::string> columns;
    state.history.clear();
    state.today = ServiceCounts{};
    state.recordError.clear();
    state.recordRead = readHistory(recordPath, HistoryQuery{{}, {}, {}, 50}, columns, state.history, state.recordError) &&
                       countServices(recordPath, midnightToday(), state.today, state.recordError);
}

bool BenchWatch::refresh()
{
    ViewState state = last;
    readLiveState(state);
    if (Clock::now() - recordReadAt >= std::chrono::seconds(1) || !sameResults(state.bench, last.bench) ||
        state.running != last.running)
        readRecord(state);
    last = std::move(state);
    auto html = std::make_shared<const std::string>(pageBody(last));
    std::lock_guard<std::mutex> guard(lock);
    if (current.html && *current.html == *html)
        return false;
    current = Body{current.number + 1, std::move(html)};
    return true;
}

BenchWatch::Body BenchWatch::body() const
{
    std::lock_guard<std::mutex> guard(lock);
    return current;
}
