// A program run in the background (a bench left running, the view beside
// it, a browser's driver): its process id, its output as it grows, and
// how it ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/run_program.h"

namespace emu {

class BackgroundRun {
public:
    // Runs `argv` in `dir`, standard output captured; `options` as
    // runProgram takes them. One still running when this ends is sent
    // `lastSignal` (a terminal's session as a whole) and waited for.
    BackgroundRun(std::vector<std::string> argv, const std::string &dir, RunOptions options = {},
                  int lastSignal = SIGKILL);
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun &) = delete;
    BackgroundRun &operator=(const BackgroundRun &) = delete;

    // Whether standard output holds `text` `times` times within `within`
    // (false at once when the program has ended without).
    bool waitFor(const std::string &text, int times = 1, std::chrono::seconds within = std::chrono::seconds(30));
    std::string output();
    int id();
    void signal(int number);
    // Ctrl-C on its terminal: every process of its group hears it.
    void interrupt();
    // Waits for it to end.
    ProgramRun end();

private:
    int count(const std::string &text) const;

    RunOptions options;
    int lastSignal;
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    int pid = -1;
    std::string out;
    bool over = false;
    ProgramRun result;
};

} // namespace emu
