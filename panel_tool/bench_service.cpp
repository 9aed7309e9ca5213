#include "panel_tool/bench_service.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "panel_service/memory_files.h"

// The messages, each a line of tab-separated fields:
//   step NAME                         a step begins
//   phase PHASE TOTAL                 a phase of TOTAL steps begins
//   done N                            N of them are done
//   end NAME STATUS RECORD            the step ended so; RECORD is the
//                                     service's record, one line of JSON

namespace {

using Clock = std::chrono::steady_clock;

// A progress message at most this often, besides a phase's last.
constexpr auto kProgressEvery = std::chrono::milliseconds(50);

// The bench gone (killed) ends nothing here: the panel is finished all
// the same, with nobody told.
void send(int fd, const std::string &line) { writeAll(fd, line + "\n"); }

Progress reportingTo(int fd)
{
    auto last = std::make_shared<Clock::time_point>();
    auto total = std::make_shared<uint32_t>(0);
    Progress p;
    p.began = [fd, last, total](Phase phase, uint32_t steps) {
        *total = steps;
        *last = Clock::now();
        send(fd, "phase\t" + std::to_string(static_cast<int>(phase)) + "\t" + std::to_string(steps));
    };
    p.advanced = [fd, last, total](Phase, uint32_t done) {
        if (done != *total && Clock::now() - *last < kProgressEvery)
            return;
        *last = Clock::now();
        send(fd, "done\t" + std::to_string(done));
    };
    return p;
}

// The child's life: the steps in order, until one does not end well. The
// panel's backup, if asked for, is one folder for both memories.
[[noreturn]] void serve(BenchFiles &files, const PanelPlace &panel, int fd)
{
    const Progress progress = reportingTo(fd);
    std::unique_ptr<Backup> backup;
    if (!files.backup.empty())
        backup = std::make_unique<Backup>(files.backup, panel.port, std::time(nullptr));
    const ServiceOptions options{files.verify, files.full, backup.get()};
    for (const std::string &step : files.steps()) {
        send(fd, "step\t" + step);
        const ServiceResult r = step == "language" ? loadLanguage(panel, files.language, options, progress)
                                                   : flashFirmware(panel, files.firmware, options, progress);
        send(fd, "end\t" + step + "\t" + std::to_string(r.status) + "\t" + r.json());
        if (r.status != 0)
            break;
    }
    _exit(0);
}

// What the bench's own process held and set that a service must not keep.
void leaveTheBench(const std::vector<int> &othersFds)
{
    for (int fd : othersFds)
        close(fd);
    // Ctrl-C reaches the whole process group, SIGTERM a whole service
    // unit, SIGHUP the terminal's processes: the bench decides, and a
    // flash under way is finished.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

std::vector<std::string> splitFields(const std::string &line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

uint32_t count(const std::string &text) { return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10)); }

} // namespace

std::vector<std::string> BenchFiles::steps() const
{
    if (withLanguage)
        return {"language", "firmware"};
    return {"firmware"};
}

const std::string &BenchFiles::fileOf(const std::string &step) const
{
    return step == "language" ? language.path : firmware.path;
}

const std::string &BenchFiles::sha256Of(const std::string &step) const
{
    return step == "language" ? language.sha256 : firmware.sha256;
}

bool startService(BenchFiles &files, const PanelPlace &panel, const std::vector<int> &othersFds, pid_t &pid,
                  int &messages)
{
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    pid = fork();
    if (pid < 0) {
        const int error = errno;
        close(ends[0]);
        close(ends[1]);
        errno = error;
        return false;
    }
    if (pid == 0) {
        close(ends[0]);
        leaveTheBench(othersFds);
        serve(files, panel, ends[1]);
    }
    close(ends[1]);
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    messages = ends[0];
    return true;
}

void ServiceNews::take(const char *bytes, std::size_t n)
{
    partial.append(bytes, n);
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
        understand(partial.substr(0, end));
        partial.erase(0, end + 1);
    }
}

void ServiceNews::understand(const std::string &line)
{
    const std::vector<std::string> f = splitFields(line);
    if (f[0] == "step" && f.size() == 2) {
        step = f[1];
        inPhase = false;
    } else if (f[0] == "phase" && f.size() == 3) {
        inPhase = true;
        phase = static_cast<Phase>(std::atoi(f[1].c_str()));
        total = count(f[2]);
        done = 0;
    } else if (f[0] == "done" && f.size() == 2) {
        done = count(f[1]);
    } else if (f[0] == "end" && f.size() == 4) {
        Step s;
        s.name = f[1];
        s.status = std::atoi(f[2].c_str());
        s.record = Record::parse(f[3], nullptr, false);
        if (!s.record.is_object())
            s.record = Record::object();
        ended.push_back(s);
        step.clear();
        inPhase = false;
    }
}

std::string ServiceNews::Step::result() const
{
    return record.contains("result") && record["result"].is_string() ? record["result"].get<std::string>() : "";
}

uint32_t ServiceNews::Step::pagesWritten() const
{
    return record.contains("pages_written") && record["pages_written"].is_number_unsigned()
               ? record["pages_written"].get<uint32_t>()
               : 0;
}

std::string ServiceNews::Step::cause() const
{
    return record.contains("cause") && record["cause"].is_string() ? record["cause"].get<std::string>() : "";
}
