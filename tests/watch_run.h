// panel_tool watch run in the background, as a technician leaves it,
// for the tests that plug panels in while it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emulator/run_program.h"

namespace testing_support {

// Waits up to 30 s for `condition`.
inline bool eventually(const std::function<bool()> &condition)
{
    using Clock = std::chrono::steady_clock;
    for (const auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (condition())
            return true;
    return false;
}

// A watch running in the background, as a technician leaves it; under
// `wrapper` (strace and its options, say) when one is given; or, named by
// `program`, another program that runs beside it (the view, a browser's
// driver).
class BenchRun {
public:
    BenchRun(const std::vector<std::string> &args, const std::string &dir, bool terminal = false,
             const std::vector<std::string> &environment = {}, const std::vector<std::string> &wrapper = {},
             const std::string &program = PANEL_TOOL_PATH)
        : argv(wrapper)
    {
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        options.capture = true;
        options.terminal = terminal;
        options.environment = environment;
        options.started = [this](int started) {
            std::lock_guard<std::mutex> guard(lock);
            pid = started;
        };
        options.outputGrew = [this](const std::string &now) {
            std::lock_guard<std::mutex> guard(lock);
            out = now;
            changed.notify_all();
        };
        thread = std::thread([this, dir] {
            const emu::ProgramRun run = emu::runProgram(argv, dir, options);
            std::lock_guard<std::mutex> guard(lock);
            result = run;
            over = true;
            changed.notify_all();
        });
    }
    ~BenchRun()
    {
        if (!thread.joinable())
            return;
        {
            // On a terminal it leads a session of its own, which takes
            // along a program it runs under (strace) and its services.
            std::lock_guard<std::mutex> guard(lock);
            if (pid > 0 && !over)
                kill(options.terminal ? -pid : pid, SIGKILL);
        }
        thread.join();
    }

    // Whether standard output holds `text` `times` times within `within`;
    // what it holds, if not.
    testing::AssertionResult sees(const std::string &text, int times = 1,
                                  std::chrono::seconds within = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, within, [&] { return over || count(text) >= times; });
        if (count(text) >= times)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "not " << times << " times \"" << text << "\" in:\n" << out;
    }
    void signal(int number)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pid > 0 && !over)
            kill(pid, number);
    }
    // Ctrl-C on its terminal: every process of the watch hears it.
    void interrupt()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pid > 0 && !over)
            kill(-pid, SIGINT);
    }
    emu::ProgramRun end()
    {
        thread.join();
        return result;
    }

private:
    int count(const std::string &text) const
    {
        int n = 0;
        for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++n;
        return n;
    }

    std::vector<std::string> argv;
    emu::RunOptions options;
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    int pid = -1;
    std::string out;
    bool over = false;
    emu::ProgramRun result;
};


} // namespace testing_support
