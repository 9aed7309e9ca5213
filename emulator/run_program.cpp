#include "emulator/run_program.h"

#include <fcntl.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace emu {

namespace {

// Ours goes ahead of umockdev's, whose bind it stands in front of.
constexpr const char *kPreload = UEVENT_SOCKETS_PRELOAD ":libumockdev-preload.so.0";

// Built before fork: the child of a threaded process may only make
// async-signal-safe calls until it execs.
std::vector<std::string> childEnvironment(const std::vector<std::string> &added)
{
    std::vector<std::string> env;
    std::string preload = std::string("LD_PRELOAD=") + kPreload;
    auto replaced = [&added](const char *entry) {
        for (const auto &a : added)
            if (std::strncmp(entry, a.c_str(), a.find('=') + 1) == 0)
                return true;
        return false;
    };
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0)
            preload += std::string(":") + (*e + 11);
        else if (!replaced(*e))
            env.emplace_back(*e);
    }
    // An added preload goes after the emulation's, which must come first.
    for (const auto &a : added) {
        if (a.compare(0, 11, "LD_PRELOAD=") == 0)
            preload += ":" + a.substr(11);
        else
            env.push_back(a);
    }
    env.push_back(preload);
    return env;
}

} // namespace

// Only syscalls: this runs in the child of a threaded process too.
void withoutPermissionOverride()
{
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    const uint32_t mask = 1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH;
    data[0].effective &= ~mask;
    data[0].permitted &= ~mask;
    data[0].inheritable &= ~mask;
    syscall(SYS_capset, &header, data);
}

namespace {

void drain(int fd, std::string &into, bool &open)
{
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
        open = false;
}

} // namespace

ProgramRun runProgram(const std::vector<std::string> &argv, const std::string &workDir,
                      const RunOptions &options)
{
    const bool capture = options.capture;
    ProgramRun run;
    std::vector<std::string> env = childEnvironment(options.environment);
    std::vector<char *> envp, args;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto &a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    // Closed on exec: a program run beside this one (a view beside its
    // bench) must not hold this one's output open, or its end is never
    // seen. The child's standard output and error are copies, kept open.
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if (capture && options.terminal ? openpty(&outPipe[0], &outPipe[1], nullptr, nullptr, nullptr) != 0
                                    : capture && pipe2(outPipe, O_CLOEXEC) != 0)
        return run;
    if (capture && options.terminal)
        for (int fd : outPipe)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (capture && pipe2(errPipe, O_CLOEXEC) != 0)
        return run;

    const pid_t pid = fork();
    if (pid < 0)
        return run;
    if (pid == 0) {
        if (capture && options.terminal) {
            setsid();
            ioctl(outPipe[1], TIOCSCTTY, 0);
        }
        if (capture) {
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(options.errorIntoOutput ? outPipe[1] : errPipe[1], STDERR_FILENO);
            close(outPipe[0]);
            close(errPipe[0]);
            close(outPipe[1]);
            close(errPipe[1]);
        }
        // A caller that ignores interrupts while it waits must not pass
        // that on: the program has to stop on Ctrl-C as it would alone.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            std::signal(sig, SIG_DFL);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(127);
        withoutPermissionOverride();
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    run.started = true;
    if (options.started)
        options.started(pid);
    if (capture) {
        close(outPipe[1]);
        close(errPipe[1]);
        bool outOpen = true, errOpen = true;
        while (outOpen || errOpen) {
            pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            if (fds[0].revents) {
                const bool first = run.out.empty();
                drain(outPipe[0], run.out, outOpen);
                if (first && !run.out.empty() && options.firstOutput)
                    options.firstOutput();
                if (options.outputGrew)
                    options.outputGrew(run.out);
            }
            if (outOpen && run.out.size() >= options.outLimit) {
                run.out.resize(options.outLimit);
                close(outPipe[0]);
                outPipe[0] = -1;
                outOpen = false;
            }
            if (fds[1].revents)
                drain(errPipe[0], run.err, errOpen);
        }
        if (outPipe[0] >= 0)
            close(outPipe[0]);
        close(errPipe[0]);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    run.userSeconds = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6;
    run.systemSeconds = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
    return run;
}

} // namespace emu
