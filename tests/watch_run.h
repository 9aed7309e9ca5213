// panel_tool watch run in the background, as a technician leaves it,
// for the tests that plug panels in while it runs.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emulator/background_run.h"

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
        : run(commandLine(wrapper, program, args), dir, optionsOf(terminal, environment))
    {
    }

    // Whether standard output holds `text` `times` times within `within`;
    // what it holds, if not.
    testing::AssertionResult sees(const std::string &text, int times = 1,
                                  std::chrono::seconds within = std::chrono::seconds(30))
    {
        if (run.waitFor(text, times, within))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "not " << times << " times \"" << text << "\" in:\n" << run.output();
    }
    void signal(int number) { run.signal(number); }
    // Ctrl-C on its terminal: every process of the watch hears it.
    void interrupt() { run.interrupt(); }
    emu::ProgramRun end() { return run.end(); }

private:
    static std::vector<std::string> commandLine(std::vector<std::string> argv, const std::string &program,
                                                const std::vector<std::string> &args)
    {
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    static emu::RunOptions optionsOf(bool terminal, const std::vector<std::string> &environment)
    {
        emu::RunOptions options;
        options.terminal = terminal;
        options.environment = environment;
        return options;
    }

    emu::BackgroundRun run;
};

} // namespace testing_support
