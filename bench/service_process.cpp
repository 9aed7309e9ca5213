#include "bench/service_process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <ctime>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

#include "panel_service/write_all.h"

// The messages, each a line of JSON:
//   {"step": NAME}                    a step begins
//   {"phase": PHASE, "total": N}      a phase of N steps begins
//   {"done": N}                       N of them are done
//   {"end": NAME, "result": RESULT}   the step ended so, with its result

namespace {

using Clock = std::chrono::steady_clock;

// A progress message at most this often, besides a phase's last.
constexpr auto kProgressEvery = std::chrono::milliseconds(50);

// The bench gone (killed) ends nothing here: the panel is finished all
// the same, with nobody told.
void send(int fd, const Json &message) { writeAll(fd, oneLine(message) + "\n"); }

Progress reportingTo(int fd)
{
    auto last = std::make_shared<Clock::time_point>();
    auto total = std::make_shared<uint32_t>(0);
    Progress p;
    p.began = [fd, last, total](Phase phase, uint32_t steps) {
        *total = steps;
        *last = Clock::now();
        send(fd, {{"phase", static_cast<int>(phase)}, {"total", steps}});
    };
    p.advanced = [fd, last, total](Phase, uint32_t done) {
        if (done != *total && Clock::now() - *last < kProgressEvery)
            return;
        *last = Clock::now();
        send(fd, {{"done", done}});
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
    for (const BenchStep &step : files.steps) {
        send(fd, {{"step", step.name}});
        const ServiceResult result = serviceMemory(panel, step.file, options, progress);
        send(fd, {{"end", step.name}, {"result", result}});
        if (!endedWell(result.end))
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

} // namespace

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
    const Json m = Json::parse(line, nullptr, false);
    if (!m.is_object())
        return;
    auto field = [&m](const char *key) { return m.contains(key) ? m[key] : Json(); };
    auto count = [&field](const char *key) { return field(key).is_number_unsigned() ? field(key).get<uint32_t>() : 0u; };
    if (m.contains("step")) {
        step = textIn(m, "step");
        inPhase = false;
    } else if (m.contains("phase")) {
        inPhase = true;
        phase = static_cast<Phase>(count("phase"));
        total = count("total");
        done = 0;
        phaseBegan = Clock::now();
    } else if (m.contains("done")) {
        done = count("done");
    } else if (m.contains("end") && field("result").is_object()) {
        ended.push_back(Step{textIn(m, "end"), m["result"].get<ServiceResult>()});
        step.clear();
        inPhase = false;
    }
}

bool Supervisor::start(BenchFiles &files, const PanelPlace &panel, std::vector<int> othersFds)
{
    for (const Service &other : services)
        othersFds.push_back(other.messages);
    // What stdio holds would otherwise be written twice.
    std::fflush(stdout);
    std::fflush(stderr);
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    const pid_t pid = fork();
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
    services.push_back(Service{panel.port, pid, ends[0], std::chrono::steady_clock::now(), {}});
    return true;
}

void Supervisor::readAll(Service &s)
{
    char bytes[4096];
    ssize_t n;
    while ((n = read(s.messages, bytes, sizeof bytes)) > 0)
        s.news.take(bytes, static_cast<std::size_t>(n));
}

void Supervisor::readMessages(std::size_t index) { readAll(services[index]); }

std::vector<EndedService> Supervisor::reap()
{
    std::vector<EndedService> ended;
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
        auto it = std::find_if(services.begin(), services.end(), [pid](const Service &s) { return s.pid == pid; });
        if (it == services.end())
            continue;
        EndedService e{std::move(*it), status};
        services.erase(it);
        // It has ended: what it wrote is all in the pipe.
        readAll(e.service);
        close(e.service.messages);
        ended.push_back(std::move(e));
    }
    return ended;
}
