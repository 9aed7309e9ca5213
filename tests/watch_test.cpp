// panel_tool watch against emulated panels plugged in and pulled out while
// it runs, udev telling it as on a real host: every run is judged whole,
// its lines, its log, its exit status, and what each panel holds.
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "tests/programs.h"
#include "tests/watch_judge.h"

using namespace testing_support;

namespace {

const std::string kTool = PANEL_TOOL_PATH;

using Clock = std::chrono::steady_clock;

// A watch running in the background, as a technician leaves it.
class BenchRun {
public:
    BenchRun(const std::vector<std::string> &args, const std::string &dir, bool terminal = false,
             const std::vector<std::string> &environment = {})
    {
        argv.push_back(kTool);
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
        signal(SIGKILL);
        thread.join();
    }

    // Whether standard output holds `text` `times` times within 30 s;
    // what it holds, if not.
    testing::AssertionResult sees(const std::string &text, int times = 1)
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::seconds(30), [&] { return over || count(text) >= times; });
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

// Waits up to 30 s for `condition`.
bool eventually(const std::function<bool()> &condition)
{
    for (const auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (condition())
            return true;
    return false;
}

class Watch : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        scratch.write("fw.s19", samples::firmware(0x4000, 0x47FF, 61));
        scratch.write("lang.bin", samples::languageFile(63));
    }

    static std::unique_ptr<emu::UsbPanel> panels(emu::ModelFaults first = {})
    {
        auto bus = std::make_unique<emu::UsbPanel>(emu::RamDriver::Auto, first, emu::UsbFaults{},
                                                   emu::PanelStart::Used);
        EXPECT_TRUE(bus->ready()) << bus->setupError();
        return bus;
    }
    static std::size_t plugIn(emu::UsbPanel &bus, emu::ModelFaults model = {})
    {
        emu::PanelSpec spec;
        spec.start = emu::PanelStart::Used;
        spec.model = model;
        return bus.addPanel(spec);
    }
    static emu::ModelFaults realPace()
    {
        emu::ModelFaults pace;
        pace.eraseMs = emu::kRealisticEraseMs;
        pace.programMs = emu::kRealisticProgramMs;
        return pace;
    }

    // Everything a run shows (its lines, summary, exit status and log);
    // each panel serviced last with success holds the files and boots,
    // one never serviced is as it was.
    void judge(const emu::ProgramRun &run, emu::UsbPanel &bus, const std::vector<emu::PanelModel> &before,
               const WatchExpected &expected, const std::string &log = "bench.log")
    {
        EXPECT_EQ(run.err, "");
        const std::vector<std::string> ended = judgeWatchOutput(run.out, run.exitStatus, expected);
        judgeWatchLog(slurp(scratch.path(log)), ended, expected, scratch.dir, scratch.dir);
        // A panel plugged in during the run started as the first did.
        for (std::size_t i = 0; i < bus.panelCount(); ++i) {
            const emu::PanelModel &was = i < before.size() ? before[i] : before.front();
            const emu::PanelModel m = bus.model(i);
            const auto it = expected.services.find(bus.panelPort(i));
            if (it == expected.services.end()) {
                EXPECT_EQ(m.panelFlash(), was.panelFlash()) << "panel " << i << " never serviced";
                EXPECT_EQ(m.serialFlash(), was.serialFlash()) << "panel " << i << " never serviced";
            } else if (it->second.back() == "failed loading") {
                // The firmware is not touched after a language that failed.
                EXPECT_EQ(m.panelFlash(), was.panelFlash()) << "panel " << i;
            } else if (it->second.back() == "ok" || it->second.back().rfind("held", 0) == 0) {
                expectFirmwareFlashed(fileText(expected.firmware), was.panelFlash(), m.panelFlash());
                if (!expected.language.empty()) {
                    const std::string text = fileText(expected.language);
                    expectLanguageLoaded(Bytes(text.begin(), text.end()), was.serialFlash(),
                                         m.serialFlash());
                }
            }
        }
        const std::vector<std::string> violations = bus.violations();
        EXPECT_TRUE(violations.empty()) << violations.front();
    }

    static std::vector<emu::PanelModel> holdings(const emu::UsbPanel &bus)
    {
        std::vector<emu::PanelModel> models;
        for (std::size_t i = 0; i < bus.panelCount(); ++i)
            models.push_back(bus.model(i));
        return models;
    }
};

// Each of the log's lines ends where the file was synced: a record is on
// the disk before the bench goes on, so a power cut loses only the
// services still under way. `syncs` holds the log's size at each sync.
void expectEveryLineSynced(const std::string &log, const std::string &syncs)
{
    std::vector<long long> lineEnds, synced;
    for (std::size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', end + 1))
        lineEnds.push_back(static_cast<long long>(end + 1));
    std::istringstream sizes(syncs);
    for (long long size; sizes >> size;)
        synced.push_back(size);
    EXPECT_EQ(synced, lineEnds) << "the log's size at each of its syncs";
}

TEST_F(Watch, ServicesEachPanelOncePerPlugIn)
{
    // One panel there before the watch; three plugged in while it runs,
    // one of them with a worn serial flash page; the first left plugged
    // in, then pulled and plugged in again. Every sync of the log is
    // counted from outside the program.
    auto bus = panels();
    const std::vector<emu::PanelModel> before = holdings(*bus);
    BenchRun watch({"watch", "--firmware", "fw.s19", "--language", "lang.bin", "--log", "bench.log", "--backup",
                    "kept"},
                   scratch.dir, false,
                   {std::string("LD_PRELOAD=") + SYNC_PROBE_PATH, "SYNC_PROBE_FILE=" + scratch.path("bench.log"),
                    "SYNC_PROBE_OUT=" + scratch.path("syncs")});
    const std::string first = bus->panelPort(0);
    ASSERT_TRUE(watch.sees("port " + first + ": done"));
    plugIn(*bus);
    plugIn(*bus);
    emu::ModelFaults worn;
    worn.wornSerialPage = 40;
    plugIn(*bus, worn);
    ASSERT_TRUE(watch.sees(": done", 3));
    ASSERT_TRUE(watch.sees("FAILED"));
    // Exactly what panel_tool load-language, then flash, send.
    const std::vector<Bytes> frames = hostFrames(bus->model(1));
    bus->unplug(0);
    bus->plugIn(0);
    ASSERT_TRUE(watch.sees("port " + first + ": done", 2));
    watch.signal(SIGINT);
    const emu::ProgramRun run = watch.end();
    judge(run, *bus, before,
          {{{first, {"ok", "held"}},
            {bus->panelPort(1), {"ok"}},
            {bus->panelPort(2), {"ok"}},
            {bus->panelPort(3), {"failed loading"}}},
           "fw.s19", "lang.bin", 8 + 257, "kept"});
    EXPECT_NE(run.out.find("port " + bus->panelPort(3) + ": FAILED after "), std::string::npos);
    EXPECT_NE(run.out.find(", loading lang.bin: mismatch: serial flash page 40 differs first"), std::string::npos)
        << run.out;
    expectEveryLineSynced(slurp(scratch.path("bench.log")), slurp(scratch.path("syncs")));

    auto alone = panels();
    ASSERT_EQ(runOn(*alone, kTool, {"load-language", "lang.bin"}).run.exitStatus, 0);
    ASSERT_EQ(runOn(*alone, kTool, {"flash", "fw.s19"}).run.exitStatus, 0);
    EXPECT_EQ(frames, hostFrames(alone->model()));
}

TEST_F(Watch, APanelPulledMidFlashFailsAloneAndIsServicedWhenPluggedInAgain)
{
    auto bus = panels();
    plugIn(*bus, realPace());
    plugIn(*bus);
    const std::vector<emu::PanelModel> before = holdings(*bus);
    BenchRun watch({"watch", "--firmware", "fw.s19", "--log", "bench.log"}, scratch.dir);
    ASSERT_TRUE(eventually([&] { return bus->hostFramesReceived(1) >= 30; }));
    // Plugged in again at once: most likely before its service has ended.
    bus->unplug(1);
    bus->plugIn(1);
    ASSERT_TRUE(watch.sees("FAILED"));
    ASSERT_TRUE(watch.sees(": done", 3));
    watch.signal(SIGTERM);
    const emu::ProgramRun run = watch.end();
    judge(run, *bus, before,
          {{{bus->panelPort(0), {"ok"}}, {bus->panelPort(1), {"failed flashing", "ok"}}, {bus->panelPort(2), {"ok"}}},
           "fw.s19", "", 8, ""});
    EXPECT_NE(run.out.find("port " + bus->panelPort(1) + ": FAILED after "), std::string::npos);
    EXPECT_NE(run.out.find("unplugged"), std::string::npos) << run.out;
}

TEST_F(Watch, CtrlCLetsTheServiceUnderWayFinishAndTakesNoOther)
{
    // One service at a time: the second and third panels wait their turn;
    // the third is pulled out while it waits (udev's removal carries no
    // attributes, as on the kernel), the second is still waiting when
    // Ctrl-C comes; one plugged in after is not taken.
    terminal = true;
    auto bus = panels(realPace());
    plugIn(*bus);
    plugIn(*bus);
    const std::vector<emu::PanelModel> before = holdings(*bus);
    BenchRun watch({"watch", "--firmware", "fw.s19", "--jobs", "1", "--log", "bench.log"}, scratch.dir, true);
    const std::string first = bus->panelPort(0), second = bus->panelPort(1), third = bus->panelPort(2);
    ASSERT_TRUE(eventually([&] { return bus->hostFramesReceived(0) >= 30; }));
    ASSERT_TRUE(watch.sees("port " + third + ": panel plugged in"));
    bus->unplug(2);
    EXPECT_TRUE(watch.sees("port " + third + ": unplugged before its service began"));
    watch.interrupt();
    ASSERT_TRUE(watch.sees("Ctrl-C: stopping: no new panels; waiting for 1 service under way to end"));
    EXPECT_TRUE(watch.sees("port " + second + ": not serviced: stopping"));
    watch.interrupt();
    EXPECT_TRUE(watch.sees("still running: port " + first + " (firmware "));
    const std::size_t late = plugIn(*bus);
    EXPECT_TRUE(watch.sees("port " + bus->panelPort(late) + ": panel plugged in; not serviced: stopping"));
    const emu::ProgramRun run = watch.end();
    judge(run, *bus, before, {{{first, {"ok"}}}, "fw.s19", "", 8, ""});
    EXPECT_EQ(bus->hostFramesReceived(1), 0u);
    EXPECT_EQ(bus->hostFramesReceived(2), 0u);
    EXPECT_EQ(bus->hostFramesReceived(late), 0u);
    EXPECT_EQ(run.out.find("port " + third + ": not serviced"), std::string::npos) << run.out;
    // While it ran, its line showed its progress.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("  port " + escaped(first) +
                                                      R"( +firmware +erase +\[#+-+\] +\d+/120\x1b\[K)")))
        << run.out;
}

// A firmware whose name holds a quote, a backslash, a line end, a control
// byte and a Latin-1 "á": the log is still one valid JSON document a line,
// which a strict parser reads, and names the file's exact bytes.
TEST_F(Watch, AnyFileNameGivesAValidLog)
{
    const std::string name = "fw \"q\" \\ \n \x01 \xe1.s19";
    scratch.write(name, fileText("fw.s19"));
    auto bus = panels();
    BenchRun watch({"watch", "--full", "--firmware", name, "--log", "bench.log"}, scratch.dir);
    ASSERT_TRUE(watch.sees(": done in "));
    watch.signal(SIGINT);
    EXPECT_EQ(watch.end().exitStatus, 0);
    const std::string log = slurp(scratch.path("bench.log"));
    ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    const auto line = nlohmann::json::parse(log, nullptr, false);
    ASSERT_TRUE(line.is_object()) << "not JSON: " << log;
    EXPECT_EQ(textOf(line["files"][0], "file"), scratch.path(name));
    EXPECT_EQ(line["files"][0].value("sha256", ""), sha256sum(scratch.path(name)));
    EXPECT_EQ(line.value("result", ""), "verified");
}

// A record that cannot be kept stops the bench: the service under way
// ends, no other begins, and the exit status says the record is lost.
TEST_F(Watch, ALogThatCannotBeWrittenStopsTheBench)
{
    auto bus = panels();
    plugIn(*bus);
    const std::vector<emu::PanelModel> before = holdings(*bus);
    const std::string first = bus->panelPort(0), second = bus->panelPort(1);
    BenchRun watch({"watch", "--firmware", "fw.s19", "--jobs", "1", "--log", "/dev/full"}, scratch.dir);
    const emu::ProgramRun run = watch.end();
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.err, "panel_tool: cannot write the log /dev/full: No space left on device\n");
    const std::vector<std::string> lines = lastingLines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    EXPECT_NE(run.out.find("port " + first + ": done in "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("port " + second + ": not serviced: stopping"), std::string::npos) << run.out;
    EXPECT_EQ(lines.back(), "serviced 1 panel: 1 verified, 0 failed");
    expectFirmwareFlashed(fileText("fw.s19"), before[0].panelFlash(), bus->model(0).panelFlash());
    EXPECT_EQ(bus->hostFramesReceived(1), 0u);
}

TEST_F(Watch, RefusesWhatItCannotUseBeforeAnyPanelIsTouched)
{
    scratch.write("bad.s19", std::string("S3090000400001020304AB\n"));
    scratch.write("short.bin", Bytes(100, 0x41));
    const struct {
        std::vector<std::string> args;
        std::string cause;
    } cases[] = {
        {{"watch"}, "watch needs --firmware FILE.s19"},
        {{"watch", "--firmware", "missing.s19"}, "missing.s19"},
        {{"watch", "--firmware", "bad.s19"}, "bad.s19"},
        {{"watch", "--firmware", "fw.s19", "--language", "short.bin"}, "short.bin"},
        {{"--drivers", "nowhere", "watch", "--firmware", "fw.s19"}, "nowhere/cf_flash.S19"},
        {{"--drivers", "nowhere", "watch", "--firmware", "fw.s19", "--language", "lang.bin"}, "nowhere/"},
        {{"watch", "--firmware", "fw.s19", "--log", "no/such/folder/bench.log"},
         "cannot write the log no/such/folder/bench.log: No such file or directory"},
        {{"watch", "--firmware", "fw.s19", "--jobs", "0"}, "--jobs takes a number from 1 to 64, not '0'"},
        {{"watch", "--firmware", "fw.s19", "--port", "1-1"}, "--port and --device are not for it"},
        {{"flash", "fw.s19", "--log", "bench.log"}, "--firmware, --language, --log and --jobs are for watch"},
    };
    for (const auto &c : cases) {
        const ProgramResult r = run(kTool, c.args);
        EXPECT_EQ(r.run.exitStatus, 2) << c.args.back();
        EXPECT_EQ(r.run.out, "") << c.args.back();
        EXPECT_EQ(r.run.err.rfind("panel_tool: ", 0), 0u) << r.run.err;
        EXPECT_NE(r.run.err.find(c.cause), std::string::npos) << r.run.err;
        EXPECT_TRUE(noUsbAccess(r)) << c.args.back();
    }
}

} // namespace
