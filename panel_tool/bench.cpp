#include "panel_tool/bench.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "devlink/console.h"
#include "devlink/panel_list.h"
#include "panel_service/memory_files.h"
#include "panel_tool/bench_record.h"
#include "panel_tool/bench_service.h"
#include "panel_tool/journal.h"
#include "panel_tool/plug_events.h"
#include "panel_tool/progress_bars.h"

namespace {

constexpr int kNoneFailed = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;
constexpr int kUnusable = 3;

constexpr const char *kProgram = "panel_tool";

using Clock = std::chrono::steady_clock;

// The live lines are redrawn at most this often.
constexpr auto kRedraw = std::chrono::milliseconds(100);

std::string oneDecimal(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// Now, as the log gives it: "2026-12-08T09:30:12Z".
std::string utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The station, as the record names it.
std::string hostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("unknown");
}

// A file's path as the log records it: absolute, so that the record
// still names it when read from elsewhere.
std::string absolute(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// How a service ended, as the bench reports and records it.
struct Outcome {
    bool ok = false;
    std::string result;  // "verified", "written", "mismatch", "failed"
    std::string step;    // the step that failed
    std::string cause;
    uint32_t pagesWritten = 0;
    std::vector<ServiceNews::Step> steps;  // those that ended, with their records
};

// A port's panel as the bench knows it. A panel plugged in again gets a
// new device number: the same numbers twice are one plug-in (a panel found
// at start and announced again).
enum class PortState { Queued, Running, Serviced };
struct Port {
    PortState state = PortState::Queued;
    int bus = 0;
    int device = 0;
    bool pulled = false;     // pulled out while its service runs
    bool pluggedAgain = false;  // and plugged in again: serviced next
};

struct Service {
    std::string port;
    pid_t pid = -1;
    int messages = -1;
    Clock::time_point began;
    ServiceNews news;
};

class Bench {
public:
    Bench(const BenchOptions &options, BenchFiles &files, int log, BenchDatabase *database, std::string station)
        : options(options), files(files), log(log), database(database), station(std::move(station))
    {
    }
    int run();

private:
    bool listen();
    void wait();
    void plugIn(const PlugEvent &event);
    void pullOut(const std::string &port);
    void startQueued();
    void start(const std::string &port);
    void readMessages(Service &s);
    void reapEnded();
    void end(Service &s, int waitStatus);
    void finish(const Service &s, const Outcome &o, double seconds);
    Outcome outcomeOf(const Service &s, int waitStatus) const;
    ServiceEntry entryOf(const Service &s, const Outcome &o, double seconds) const;
    std::string doneLine(const Outcome &o, double seconds) const;
    void appendToLog(const std::string &line);
    void addToRecord(const ServiceEntry &entry);
    bool benchPort(const PlugEvent &event);
    void signalled(int signal);
    void stop(const char *why);
    std::vector<int> ownFds() const;
    void say(const std::string &line);
    void clearLive();
    void drawLive();

    const BenchOptions &options;
    BenchFiles &files;
    int log;
    BenchDatabase *database;  // none when null
    std::string station;
    bool toJournal = outputIsTheJournal();
    PlugEvents events;
    int signals = -1;
    bool stopping = false;
    bool logFailed = false;
    bool recordFailed = false;
    std::map<std::string, std::pair<int, int>> ignored;  // ports not the bench's, as last heard
    std::map<std::string, Port> ports;
    std::deque<std::string> queue;
    std::vector<Service> running;
    unsigned serviced = 0, succeeded = 0, failed = 0;
    bool live = false;
    std::size_t liveShown = 0;
    Clock::time_point drawn;
};

// udev first, so that a panel plugged in while the present ones are
// counted is heard of; the signals by descriptor, so that the loop waits
// for everything in one place.
bool Bench::listen()
{
    std::string error;
    if (!events.start(error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return false;
    }
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    signals = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        std::fprintf(stderr, "%s: cannot wait for signals: %s\n", kProgram, std::strerror(errno));
        return false;
    }
    return true;
}

int Bench::run()
{
    keepRunningWhenOutputCloses();
    live = isatty(STDOUT_FILENO) == 1;
    if (!listen())
        return kUnusable;
    say("waiting for panels (USB 15a2:0040); Ctrl-C stops");
    std::vector<PanelPlace> present = panelsInSysfs();
    std::sort(present.begin(), present.end(), [](const PanelPlace &a, const PanelPlace &b) { return a.port < b.port; });
    for (const PanelPlace &p : present)
        plugIn(PlugEvent{true, p.port, p.bus, p.device});
    startQueued();
    while (!stopping || !running.empty())
        wait();
    say("serviced " + std::to_string(serviced) + (serviced == 1 ? " panel: " : " panels: ") +
        std::to_string(succeeded) + (options.verify ? " verified, " : " written (not verified), ") +
        std::to_string(failed) + " failed");
    close(signals);
    if (logFailed || recordFailed)
        return kUnusable;
    return failed == 0 ? kNoneFailed : kSomeFailed;
}

// One round: whatever arrived first, udev, a signal or a service's news.
void Bench::wait()
{
    std::vector<pollfd> fds{{signals, POLLIN, 0}, {events.fd(), POLLIN, 0}};
    for (const Service &s : running)
        fds.push_back({s.messages, POLLIN, 0});
    const int timeout = live && !running.empty() ? static_cast<int>(kRedraw.count()) : -1;
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
        std::fprintf(stderr, "%s: poll: %s\n", kProgram, std::strerror(errno));
        stop("");
        return;
    }
    if (fds[1].revents != 0)
        for (const PlugEvent &event : events.take())
            event.pluggedIn ? plugIn(event) : pullOut(event.port);
    for (std::size_t i = 2; i < fds.size(); ++i)
        if (fds[i].revents != 0)
            readMessages(running[i - 2]);
    signalfd_siginfo info{};
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        signalled(static_cast<int>(info.ssi_signo));
    startQueued();
    if (live && Clock::now() - drawn >= kRedraw) {
        clearLive();
        drawLive();
    }
}

// A panel in a socket that is not the bench's (a reference panel, one
// being checked by hand) is told of once and never opened.
bool Bench::benchPort(const PlugEvent &event)
{
    if (options.ports.empty() ||
        std::find(options.ports.begin(), options.ports.end(), event.port) != options.ports.end())
        return true;
    const std::pair<int, int> numbers{event.bus, event.device};
    auto heard = ignored.find(event.port);
    if (heard == ignored.end() || heard->second != numbers) {
        ignored[event.port] = numbers;
        say("port " + event.port + ": panel plugged in; not one of the bench's ports: ignored");
    }
    return false;
}

void Bench::plugIn(const PlugEvent &event)
{
    if (!benchPort(event))
        return;
    auto known = ports.find(event.port);
    if (known != ports.end() && known->second.bus == event.bus && known->second.device == event.device)
        return;  // heard of already
    say("port " + event.port + ": panel plugged in" + (stopping ? "; not serviced: stopping" : ""));
    if (stopping)
        return;
    if (known == ports.end()) {
        ports[event.port] = Port{PortState::Queued, event.bus, event.device, false, false};
        queue.push_back(event.port);
        return;
    }
    Port &p = known->second;
    p.bus = event.bus;
    p.device = event.device;
    if (p.state == PortState::Running) {
        p.pluggedAgain = true;  // the service under way ends first
    } else if (p.state == PortState::Serviced) {
        p.state = PortState::Queued;
        queue.push_back(event.port);
    }
}

void Bench::pullOut(const std::string &port)
{
    auto known = ports.find(port);
    if (known == ports.end())
        return;  // not a panel, or one not serviced
    Port &p = known->second;
    if (p.state == PortState::Running) {
        // Its service fails by itself, and says so.
        p.pulled = true;
        p.pluggedAgain = false;
        return;
    }
    if (p.state == PortState::Queued) {
        queue.erase(std::find(queue.begin(), queue.end(), port));
        say("port " + port + ": unplugged before its service began");
    }
    ports.erase(known);
}

void Bench::startQueued()
{
    while (!stopping && !queue.empty() && running.size() < options.jobs) {
        const std::string port = queue.front();
        queue.pop_front();
        start(port);
    }
}

// The bench's descriptors, which a service closes. Not udev's socket,
// which only the bench reads: umockdev, which stands in for udev in our
// tests, tells sockets apart by their number, and a service's USB library
// (libusb-compat) would take that number for a socket of its own.
std::vector<int> Bench::ownFds() const
{
    std::vector<int> fds{signals};
    if (log >= 0)
        fds.push_back(log);
    for (const Service &s : running)
        fds.push_back(s.messages);
    return fds;
}

void Bench::start(const std::string &port)
{
    Port &p = ports[port];
    PanelPlace panel;
    panel.port = port;
    panel.bus = p.bus;
    panel.device = p.device;
    Service s;
    s.port = port;
    s.began = Clock::now();
    // What stdio holds would otherwise be written twice.
    std::fflush(stdout);
    std::fflush(stderr);
    if (!startService(files, panel, ownFds(), s.pid, s.messages)) {
        Outcome o;
        o.result = "failed";
        o.step = files.steps().front();
        o.cause = std::string("cannot start its service: ") + std::strerror(errno);
        finish(s, o, 0.0);
        return;
    }
    p.state = PortState::Running;
    p.pulled = p.pluggedAgain = false;
    running.push_back(std::move(s));
}

void Bench::readMessages(Service &s)
{
    char bytes[4096];
    ssize_t n;
    while ((n = read(s.messages, bytes, sizeof bytes)) > 0)
        s.news.take(bytes, static_cast<std::size_t>(n));
}

void Bench::reapEnded()
{
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
        auto it = std::find_if(running.begin(), running.end(), [pid](const Service &s) { return s.pid == pid; });
        if (it == running.end())
            continue;
        Service s = std::move(*it);
        running.erase(it);
        // It has ended: what it wrote is all in the pipe.
        readMessages(s);
        close(s.messages);
        end(s, status);
    }
}

Outcome Bench::outcomeOf(const Service &s, int waitStatus) const
{
    Outcome o;
    o.steps = s.news.ended;
    for (const ServiceNews::Step &step : s.news.ended) {
        o.pagesWritten += step.pagesWritten();
        if (step.status != 0) {
            o.result = step.result();
            o.step = step.name;
            o.cause = step.cause();
            return o;
        }
    }
    const std::vector<std::string> steps = files.steps();
    if (s.news.ended.size() < steps.size()) {
        o.result = "failed";
        o.step = steps[s.news.ended.size()];
        o.cause = "its service ended unexpectedly (" +
                  (WIFSIGNALED(waitStatus) ? std::string("signal ") + strsignal(WTERMSIG(waitStatus))
                                           : "exit status " + std::to_string(WEXITSTATUS(waitStatus))) +
                  "); the panel may hold part of the file";
        return o;
    }
    o.ok = true;
    o.result = options.verify ? "verified" : "written";
    return o;
}

// What the bench keeps of a service: each file it was to write, and what
// the panel held of it before, as the service recorded it; then how it
// ended.
ServiceEntry Bench::entryOf(const Service &s, const Outcome &o, double seconds) const
{
    ServiceEntry e;
    e.time = utcNow();
    e.station = station;
    e.port = s.port;
    for (const std::string &step : files.steps()) {
        const auto ran = std::find_if(o.steps.begin(), o.steps.end(),
                                      [&step](const ServiceNews::Step &done) { return done.name == step; });
        e.files.push_back(fileEntryOf(step, absolute(files.fileOf(step)), files.sha256Of(step),
                                      ran != o.steps.end() ? &ran->record : nullptr));
    }
    e.pagesWritten = o.pagesWritten;
    e.verified = o.ok && options.verify;
    e.seconds = seconds;
    e.result = o.result;
    e.step = o.step;
    e.cause = o.cause;
    return e;
}

// "done in 4.1 s: loaded lang.bin, flashed fw.s19; 1217 pages written and
// verified", or what failed.
std::string Bench::doneLine(const Outcome &o, double seconds) const
{
    auto did = [this](const std::string &step, bool past) {
        const std::string file = fileName(files.fileOf(step));
        if (step == "language")
            return (past ? "loaded " : "loading ") + file;
        return (past ? "flashed " : "flashing ") + file;
    };
    if (!o.ok)
        return "FAILED after " + oneDecimal(seconds) + " s, " + did(o.step, false) + ": " + o.cause +
               "; plug it in again to try again";
    std::string line = "done in " + oneDecimal(seconds) + " s: ";
    for (std::size_t i = 0; i < o.steps.size(); ++i)
        line += (i > 0 ? ", " : "") + (o.steps[i].result() == "already held"
                                           ? fileName(files.fileOf(o.steps[i].name)) + " already held"
                                           : did(o.steps[i].name, true));
    return line + "; " + std::to_string(o.pagesWritten) + " pages written" +
           (options.verify ? " and verified" : " (not verified)");
}

void Bench::end(Service &s, int waitStatus)
{
    finish(s, outcomeOf(s, waitStatus), std::chrono::duration<double>(Clock::now() - s.began).count());
}

// Counted, recorded, told; and the port ready for its next plug-in. Its
// line goes to the journal, with the service's fields, when there is one;
// printed as well, unless standard output is the journal itself.
void Bench::finish(const Service &s, const Outcome &o, double seconds)
{
    ++serviced;
    ++(o.ok ? succeeded : failed);
    const ServiceEntry entry = entryOf(s, o, seconds);
    appendToLog(oneLine(logLine(entry)));
    addToRecord(entry);
    const std::string line = doneLine(o, seconds);
    if (!journalServiceEnded(entry, line) || !toJournal)
        say("port " + s.port + ": " + line);
    Port &p = ports[s.port];
    if (p.pluggedAgain && !stopping) {
        p.state = PortState::Queued;
        p.pluggedAgain = false;
        queue.push_back(s.port);
    } else if (p.pulled) {
        ports.erase(s.port);
    } else {
        p.state = PortState::Serviced;
    }
}

// Written and on the disk before the next service is looked at: a power
// cut loses only the services under way.
void Bench::appendToLog(const std::string &line)
{
    if (log < 0 || logFailed)
        return;
    if (writeAll(log, line + "\n") && fsync(log) == 0)
        return;
    logFailed = true;
    std::fprintf(stderr, "%s: cannot write the log %s: %s\n", kProgram, options.log.c_str(), std::strerror(errno));
    stop("the log cannot be written");
}

// Committed before the next service is looked at, as the log's line.
void Bench::addToRecord(const ServiceEntry &entry)
{
    std::string error;
    if (database == nullptr || recordFailed || database->add(entry, error))
        return;
    recordFailed = true;
    std::fprintf(stderr, "%s: cannot write the record %s: %s\n", kProgram, options.record.c_str(), error.c_str());
    stop("the record cannot be written");
}

void Bench::signalled(int signal)
{
    if (signal == SIGCHLD) {
        reapEnded();
        return;
    }
    if (!stopping) {
        stop(signal == SIGINT ? "Ctrl-C" : signal == SIGTERM ? "SIGTERM" : "SIGHUP");
        return;
    }
    std::string line = "still running:";
    for (std::size_t i = 0; i < running.size(); ++i) {
        const Service &s = running[i];
        line += std::string(i > 0 ? "," : "") + " port " + s.port;
        if (!s.news.step.empty())
            line += " (" + s.news.step + (s.news.inPhase ? std::string(" ") + phaseName(s.news.phase) + " " +
                                                                std::to_string(s.news.done) + "/" +
                                                                std::to_string(s.news.total)
                                                          : std::string()) +
                    ")";
    }
    say(line + "; waiting for them to end");
}

// No new panel from now on; the services under way end as they would.
void Bench::stop(const char *why)
{
    stopping = true;
    if (!running.empty()) {
        const std::size_t n = running.size();
        say(std::string(*why != '\0' ? std::string(why) + ": " : std::string()) +
            "stopping: no new panels; waiting for " + std::to_string(n) + (n == 1 ? " service" : " services") +
            " under way to end (a flash cut short leaves a panel that does not start)");
    }
    for (const std::string &port : queue) {
        say("port " + port + ": not serviced: stopping");
        ports.erase(port);
    }
    queue.clear();
}

// A line that stays, above the live lines.
void Bench::say(const std::string &line)
{
    clearLive();
    std::printf("%s\n", line.c_str());
    drawLive();
    std::fflush(stdout);
}

void Bench::clearLive()
{
    if (liveShown > 0)
        std::printf("\033[%zuA\r\033[J", liveShown);
    liveShown = 0;
}

// On a terminal, a line per service under way:
// "  port 1-2     firmware  write   [#######---------]  320/960"
void Bench::drawLive()
{
    if (!live)
        return;
    drawn = Clock::now();
    for (const Service &s : running) {
        char line[160];
        const ServiceNews &n = s.news;
        constexpr int kWidth = 20;
        const int filled = n.total > 0 ? static_cast<int>(uint64_t{n.done} * kWidth / n.total) : 0;
        if (n.inPhase)
            std::snprintf(line, sizeof line, "  port %-10s %-9s %-7s [%s%s] %4u/%u", s.port.c_str(),
                          n.step.c_str(), phaseName(n.phase), std::string(static_cast<std::size_t>(filled), '#').c_str(),
                          std::string(static_cast<std::size_t>(kWidth - filled), '-').c_str(), n.done, n.total);
        else
            std::snprintf(line, sizeof line, "  port %-10s %-9s starting", s.port.c_str(), n.step.c_str());
        std::printf("%s\033[K\n", line);
        ++liveShown;
    }
    std::fflush(stdout);
}

// The files and the drivers, read and checked before anything waits.
bool readFiles(const BenchOptions &o, BenchFiles &files)
{
    Failure failure;
    files.verify = o.verify;
    files.full = o.full;
    files.backup = o.backup;
    files.withLanguage = !o.language.empty();
    if (!readFirmwareInput(o.firmware, o.drivers, files.firmware, failure) ||
        (files.withLanguage && !readLanguageInput(o.language, o.drivers, files.language, failure)) ||
        (!o.backup.empty() && !prepareBackupFolder(o.backup, failure))) {
        printCause(kProgram, failure);
        return false;
    }
    return true;
}

} // namespace

int runBench(const BenchOptions &options)
{
    BenchFiles files;
    if (!readFiles(options, files))
        return kUsageError;
    int log = -1;
    if (!options.log.empty()) {
        log = open(options.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (log < 0) {
            std::fprintf(stderr, "%s: cannot write the log %s: %s\n", kProgram, options.log.c_str(),
                         std::strerror(errno));
            return kUsageError;
        }
    }
    std::unique_ptr<BenchDatabase> database;
    if (!options.record.empty()) {
        database = std::make_unique<BenchDatabase>();
        std::string error;
        if (!database->open(options.record, hostName(), error)) {
            std::fprintf(stderr, "%s: cannot keep %s\n", kProgram, error.c_str());
            if (log >= 0)
                close(log);
            return kUsageError;
        }
    }
    Bench bench(options, files, log, database.get(), hostName());
    const int status = bench.run();
    if (log >= 0)
        close(log);
    return status;
}
