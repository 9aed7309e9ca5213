#include "emulator/background_run.h"

namespace emu {

BackgroundRun::BackgroundRun(std::vector<std::string> argv, const std::string &dir, RunOptions given, int lastSignal)
    : options(std::move(given)), lastSignal(lastSignal)
{
    options.capture = true;
    options.started = [this](int started) {
        std::lock_guard<std::mutex> guard(lock);
        pid = started;
    };
    options.outputGrew = [this](const std::string &now) {
        std::lock_guard<std::mutex> guard(lock);
        out = now;
        changed.notify_all();
    };
    thread = std::thread([this, argv, dir] {
        const ProgramRun run = runProgram(argv, dir, options);
        std::lock_guard<std::mutex> guard(lock);
        result = run;
        over = true;
        changed.notify_all();
    });
}

BackgroundRun::~BackgroundRun()
{
    if (!thread.joinable())
        return;
    {
        // On a terminal it leads a session of its own, which takes along a
        // program it runs under (strace) and what it starts.
        std::lock_guard<std::mutex> guard(lock);
        if (pid > 0 && !over)
            kill(options.terminal ? -pid : pid, lastSignal);
    }
    thread.join();
}

bool BackgroundRun::waitFor(const std::string &text, int times, std::chrono::seconds within)
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, within, [&] { return over || count(text) >= times; });
    return count(text) >= times;
}

std::string BackgroundRun::output()
{
    std::lock_guard<std::mutex> guard(lock);
    return out;
}

int BackgroundRun::id()
{
    std::lock_guard<std::mutex> guard(lock);
    return pid;
}

void BackgroundRun::signal(int number)
{
    std::lock_guard<std::mutex> guard(lock);
    if (pid > 0 && !over)
        kill(pid, number);
}

void BackgroundRun::interrupt()
{
    std::lock_guard<std::mutex> guard(lock);
    if (pid > 0 && !over)
        kill(-pid, SIGINT);
}

ProgramRun BackgroundRun::end()
{
    thread.join();
    return result;
}

int BackgroundRun::count(const std::string &text) const
{
    int n = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        ++n;
    return n;
}

} // namespace emu
