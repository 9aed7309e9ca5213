#include "bench/bench.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/bench_log.h"
#include "bench/bench_record.h"
#include "bench/journal.h"
#include "bench/live.h"
#include "bench/plug_events.h"
#include "bench/ports.h"
#include "bench/service_process.h"
#include "bench/terminal.h"
#include "devlink/console.h"
#include "devlink/panel_list.h"
#include "panel_service/progress_bars.h"
#include "panel_service/utc_time.h"

namespace {

constexpr const char *kProgram = "panel_tool";

using Clock = std::chrono::steady_clock;

// How often the loop looks again when a watcher is told of the bench.
constexpr auto kLiveEvery = std::chrono::milliseconds(250);

std::string oneDecimal(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
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
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

class Bench {
public:
    Bench(const BenchOptions &options, BenchFiles &files, BenchLog &log, BenchRecord *record)
        : options(options), files(files), log(log), record(record),
          ports(options.ports, [this](const std::string &line) { say(line); })
    {
        if (!options.live.empty())
            live = std::make_unique<LivePublisher>(options.live, liveBench(), options.labels);
    }
    BenchEnd run();

private:
    bool listen();
    void wait();
    void startQueued();
    void start(const std::string &port);
    void reapEnded();
    void finish(const ServiceEntry &entry);
    ServiceEntry entryOf(const std::string &port, const std::vector<ServiceNews::Step> &ended, double seconds) const;
    std::string doneLine(const ServiceEntry &entry) const;
    void appendToLog(const std::string &line);
    void addToRecord(const ServiceEntry &entry);
    void signalled(int signal);
    void stop(const char *why);
    void say(const std::string &line) { terminal.say(line, supervisor.running()); }
    LiveBench liveBench() const;
    void publish(bool running);

    const BenchOptions &options;
    BenchFiles &files;
    BenchLog &log;
    BenchRecord *record;  // none when null
    std::string station = hostName();
    bool toJournal = outputIsTheJournal();
    PlugEvents events;
    int signals = -1;
    bool stopping = false;
    bool logFailed = false;
    bool recordFailed = false;
    Ports ports;
    Supervisor supervisor;
    BenchTerminal terminal;
    std::unique_ptr<LivePublisher> live;  // none when null
    unsigned serviced = 0, succeeded = 0, failed = 0;
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

BenchEnd Bench::run()
{
    keepRunningWhenOutputCloses();
    if (!listen())
        return BenchEnd::CannotGoOn;
    for (const BenchStep &step : files.steps)
        if (files.signaturesChecked)
            say(step.name + " " + std::filesystem::path(step.file.path).filename().string() + ": " +
                signerLine(step.file.signer));
    say("waiting for panels (USB 15a2:0040); Ctrl-C stops");
    std::vector<PanelPlace> present = panelsInSysfs();
    std::sort(present.begin(), present.end(), [](const PanelPlace &a, const PanelPlace &b) { return a.port < b.port; });
    for (const PanelPlace &p : present)
        ports.plugIn(PlugEvent{true, p.port, p.bus, p.device}, stopping);
    startQueued();
    publish(true);
    while (!stopping || !supervisor.running().empty())
        wait();
    publish(false);
    say("serviced " + std::to_string(serviced) + (serviced == 1 ? " panel: " : " panels: ") +
        std::to_string(succeeded) + (options.verify ? " verified, " : " written (not verified), ") +
        std::to_string(failed) + " failed");
    close(signals);
    if (logFailed || recordFailed)
        return BenchEnd::CannotGoOn;
    return failed == 0 ? BenchEnd::NoneFailed : BenchEnd::SomeFailed;
}

// One round: whatever arrived first, udev, a signal or a service's news.
void Bench::wait()
{
    std::vector<pollfd> fds{{signals, POLLIN, 0}, {events.fd(), POLLIN, 0}};
    for (const Service &s : supervisor.running())
        fds.push_back({s.messages, POLLIN, 0});
    const bool redraw = terminal.live() && !supervisor.running().empty();
    const int timeout = redraw ? static_cast<int>(BenchTerminal::kRedraw.count())
                        : live ? static_cast<int>(kLiveEvery.count())
                               : -1;
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
        std::fprintf(stderr, "%s: poll: %s\n", kProgram, std::strerror(errno));
        stop("");
        return;
    }
    if (fds[1].revents != 0)
        for (const PlugEvent &event : events.take())
            event.pluggedIn ? ports.plugIn(event, stopping) : ports.pullOut(event.port);
    for (std::size_t i = 2; i < fds.size(); ++i)
        if (fds[i].revents != 0)
            supervisor.readMessages(i - 2);
    signalfd_siginfo info{};
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        signalled(static_cast<int>(info.ssi_signo));
    startQueued();
    terminal.redraw(supervisor.running());
    publish(true);
}

// What the bench is, for a watcher: the station, since when, its files and
// its ports.
LiveBench Bench::liveBench() const
{
    LiveBench b;
    b.station = station;
    b.started = utcText(std::time(nullptr));
    b.verify = options.verify;
    for (const BenchStep &step : files.steps)
        b.files.push_back(LiveFile{step.name, absolute(step.file.path), step.file.sha256, step.file.signer.keyId,
                                   step.file.signer.trustedComment});
    b.ports = options.ports;
    return b;
}

void Bench::publish(bool running)
{
    if (live)
        live->publish(ports.standing(), supervisor.running(), running);
}

void Bench::startQueued()
{
    std::string port;
    while (!stopping && supervisor.running().size() < options.jobs && ports.next(port))
        start(port);
}

// The bench's descriptors, which a service closes: not udev's socket,
// which only the bench reads. umockdev, which stands in for udev in our
// tests, tells sockets apart by their number, and a service's USB library
// (libusb-compat) would take that number for a socket of its own.
void Bench::start(const std::string &port)
{
    PanelPlace panel;
    panel.port = port;
    ports.started(port, panel.bus, panel.device);
    std::vector<int> own{signals};
    if (log.isOpen())
        own.push_back(log.descriptor());
    if (supervisor.start(files, panel, own))
        return;
    ServiceEntry entry = entryOf(port, {}, 0.0);
    entry.cause = std::string("cannot start its service: ") + std::strerror(errno);
    finish(entry);
}

void Bench::reapEnded()
{
    for (const EndedService &e : supervisor.reap()) {
        const double seconds = std::chrono::duration<double>(Clock::now() - e.service.began).count();
        ServiceEntry entry = entryOf(e.service.port, e.service.news.ended, seconds);
        if (entry.result == "failed" && entry.cause.empty())
            entry.cause = "its service ended unexpectedly (" +
                          (WIFSIGNALED(e.waitStatus) ? std::string("signal ") + strsignal(WTERMSIG(e.waitStatus))
                                                     : "exit status " + std::to_string(WEXITSTATUS(e.waitStatus))) +
                          "); the panel may hold part of the file";
        finish(entry);
    }
}

// What the bench keeps of a service: each file it was to write and what
// came of it, as its service told (`ended`); then how it ended, at the
// first step that did not end well, or that did not end at all.
ServiceEntry Bench::entryOf(const std::string &port, const std::vector<ServiceNews::Step> &ended,
                            double seconds) const
{
    ServiceEntry e;
    e.time = utcText(std::time(nullptr));
    e.station = station;
    e.port = port;
    e.seconds = seconds;
    e.result = options.verify ? "verified" : "written";
    for (std::size_t i = 0; i < files.steps.size(); ++i) {
        const BenchStep &step = files.steps[i];
        const bool ran = i < ended.size();
        e.files.push_back(FileEntry{step.name, absolute(step.file.path), step.file.sha256, step.file.signer, ran,
                                    ran ? ended[i].result : ServiceResult{}});
        if (!e.step.empty())
            continue;
        e.pagesWritten += ran ? ended[i].result.pagesWritten : 0;
        if (!ran || !endedWell(ended[i].result.end)) {
            e.step = step.name;
            e.result = ran ? nameOf(ended[i].result.end) : "failed";
            e.cause = ran ? ended[i].result.cause : std::string();
        }
    }
    e.verified = e.step.empty() && options.verify;
    return e;
}

// "done in 4.1 s: loaded lang.bin, flashed fw.s19; 1217 pages written and
// verified", or what failed.
std::string Bench::doneLine(const ServiceEntry &e) const
{
    auto did = [](const FileEntry &f, bool past) {
        const std::string name = std::filesystem::path(f.file).filename().string();
        if (past && f.result.end == ServiceEnd::AlreadyHeld)
            return name + " already held";
        return (f.kind == "language" ? (past ? "loaded " : "loading ") : (past ? "flashed " : "flashing ")) + name;
    };
    const auto failed = std::find_if(e.files.begin(), e.files.end(), [&e](const FileEntry &f) { return f.kind == e.step; });
    if (failed != e.files.end())
        return "FAILED after " + oneDecimal(e.seconds) + " s, " + did(*failed, false) + ": " + e.cause +
               "; plug it in again to try again";
    std::string line = "done in " + oneDecimal(e.seconds) + " s: ";
    for (const FileEntry &f : e.files)
        line += (&f != &e.files.front() ? ", " : "") + did(f, true);
    return line + "; " + std::to_string(e.pagesWritten) + " pages written" +
           (options.verify ? " and verified" : " (not verified)");
}

// Counted, recorded, told; and the port ready for its next plug-in. Its
// line goes to the journal, with the service's fields, when there is one;
// printed as well, unless standard output is the journal itself.
void Bench::finish(const ServiceEntry &entry)
{
    ++serviced;
    ++(entry.step.empty() ? succeeded : failed);
    appendToLog(oneLine(logLine(entry)));
    addToRecord(entry);
    if (live)
        live->ended(entry);
    const std::string line = doneLine(entry);
    if (!journalServiceEnded(entry, line) || !toJournal)
        say("port " + entry.port + ": " + line);
    ports.ended(entry.port, stopping);
}

// Written and on the disk before the next service is looked at: a power
// cut loses only the services under way.
void Bench::appendToLog(const std::string &line)
{
    if (!log.isOpen() || logFailed || log.append(line))
        return;
    logFailed = true;
    std::fprintf(stderr, "%s: cannot write the log %s: %s\n", kProgram, options.log.c_str(), std::strerror(errno));
    stop("the log cannot be written");
}

// Committed before the next service is looked at, as the log's line.
void Bench::addToRecord(const ServiceEntry &entry)
{
    std::string error;
    if (record == nullptr || recordFailed || record->add(entry, error))
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
    const std::vector<Service> &running = supervisor.running();
    for (std::size_t i = 0; i < running.size(); ++i) {
        const ServiceNews &n = running[i].news;
        line += std::string(i > 0 ? "," : "") + " port " + running[i].port;
        if (!n.step.empty())
            line += " (" + n.step +
                    (n.inPhase ? std::string(" ") + phaseName(n.phase) + " " + std::to_string(n.done) + "/" +
                                     std::to_string(n.total)
                               : std::string()) +
                    ")";
    }
    say(line + "; waiting for them to end");
}

// No new panel from now on; the services under way end as they would.
void Bench::stop(const char *why)
{
    stopping = true;
    if (!supervisor.running().empty()) {
        const std::size_t n = supervisor.running().size();
        say(std::string(*why != '\0' ? std::string(why) + ": " : std::string()) +
            "stopping: no new panels; waiting for " + std::to_string(n) + (n == 1 ? " service" : " services") +
            " under way to end (a flash cut short leaves a panel that does not start)");
    }
    ports.dropQueue();
}

// The files, their signatures and the drivers, read and checked before
// anything waits.
bool readFiles(const BenchOptions &o, BenchFiles &files)
{
    Failure failure;
    files.verify = o.verify;
    files.full = o.full;
    files.backup = o.backup;
    TrustedKeys keys;
    FileTrust trust;
    std::string why;
    if (!trustAskedFor(o.requireSignature, o.trustedKeys, keys, trust, why)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return false;
    }
    files.signaturesChecked = trust.keys != nullptr;
    BenchStep firmware{"firmware", {}}, language{"language", {}};
    if (!readFirmwareFile(o.firmware, FirmwareUse::ToFlash, trust, firmware.file, failure) ||
        !readDriverOf(Memory::Flash, o.drivers, firmware.file.driver, failure) ||
        (!o.language.empty() && (!readLanguageFile(o.language, trust, language.file, failure) ||
                                 !readDriverOf(Memory::SerialFlash, o.drivers, language.file.driver, failure))) ||
        (!o.backup.empty() && !prepareBackupFolder(o.backup, failure))) {
        printCause(kProgram, failure);
        return false;
    }
    // The key file as the record names it: absolute, as the files.
    for (PanelFile *file : {&language.file, &firmware.file})
        file->signer.keyFile = file->signer.keyFile.empty() ? "" : absolute(file->signer.keyFile);
    if (!o.language.empty())
        files.steps.push_back(std::move(language));
    files.steps.push_back(std::move(firmware));
    return true;
}

} // namespace

BenchEnd runBench(const BenchOptions &options)
{
    BenchFiles files;
    if (!readFiles(options, files))
        return BenchEnd::CannotStart;
    BenchLog log;
    if (!options.log.empty() && !log.open(options.log)) {
        std::fprintf(stderr, "%s: cannot write the log %s: %s\n", kProgram, options.log.c_str(), std::strerror(errno));
        return BenchEnd::CannotStart;
    }
    std::unique_ptr<BenchRecord> record;
    if (!options.record.empty()) {
        record = std::make_unique<BenchRecord>();
        std::string error;
        if (!record->open(options.record, hostName(), error)) {
            std::fprintf(stderr, "%s: cannot keep %s\n", kProgram, error.c_str());
            return BenchEnd::CannotStart;
        }
    }
    Bench bench(options, files, log, record.get());
    return bench.run();
}
