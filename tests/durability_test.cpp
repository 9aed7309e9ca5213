// What makes a backup and the bench's record last through a power cut,
// and what happens when the disk fails them. Seen from outside the program
// with strace, which also injects the errors the kernel can give (a
// failing fsync, a failing rename), and with a full file system of the
// test's own. Every fault must be reported, leave no partial file under a
// final name and erase nothing: a panel's firmware is never destroyed
// without the copy that was asked for, and no panel is serviced without
// its row in the record.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "tests/programs.h"
#include "tests/syscall_trace.h"
#include "tests/watch_judge.h"
#include "tests/watch_run.h"

using namespace testing_support;

namespace {

const std::string kTool = PANEL_TOOL_PATH;

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A temporary of `file`, as made beside it: "firmware.s19.Ab3xYz".
bool temporaryOf(const std::string &path, const std::string &file)
{
    return std::regex_search(path, std::regex("/" + std::regex_replace(file, std::regex("\\."), "\\.") +
                                              "\\.[A-Za-z0-9]{6}$"));
}

// Each folder the run made was synced into the folder that holds it
// before anything was made in it.
void expectFoldersMadeDurably(const std::vector<Call> &calls)
{
    for (auto made = calls.begin(); made != calls.end(); ++made) {
        if (made->name != "mkdir" || !made->succeeded())
            continue;
        const std::string folder = made->paths.front();
        const auto next = std::find_if(made + 1, calls.end(), [](const Call &c) {
            return c.name == "fsync" || c.name.rfind("rename", 0) == 0 ||
                   (c.name == "openat" && c.args.find("O_CREAT") != std::string::npos);
        });
        ASSERT_NE(next, calls.end()) << folder << " was made and never synced into its folder";
        EXPECT_TRUE(next->name == "fsync" && next->names(folderOf(folder))) << folder << " was made, then "
                                                                               << next->name << " came first";
    }
}

class Durability : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(straceInstalled()) << "strace is not installed: ./scripts/install-deps strace";
        scratch.write("fw.s19", samples::firmware(0x4000, 0x47FF, 71));
        scratch.write("lang.bin", samples::languageFile(72));
    }

    // `command` (flash or load-language) of `file` with --backup
    // `folder`, under strace and its fault `inject` when one is given.
    ProgramResult backingUp(emu::UsbPanel &bus, const std::string &command, const std::string &file,
                            const std::string &folder, const std::string &inject = "")
    {
        wrapper = straced(tracePath(folder), inject);
        ProgramResult r = runOn(bus, kTool, {command, "--backup", scratch.path(folder), file});
        wrapper.clear();
        return r;
    }
    std::vector<Call> traceOf(const std::string &folder) const { return readTrace(tracePath(folder)); }
    // The trace of a run with a backup in `folder`: in the scratch folder
    // itself, never on the small file system a test fills, where strace
    // would run out of room before the program (and say so).
    std::string tracePath(std::string folder) const
    {
        std::replace(folder.begin(), folder.end(), '/', '-');
        return scratch.path(folder + ".trace");
    }

    // The one backup made in `folder`, as a path.
    std::string backupIn(const std::string &folder) const
    {
        const std::vector<std::string> names = namesIn(scratch.path(folder));
        EXPECT_EQ(names.size(), 1u) << folder;
        return names.empty() ? "" : scratch.path(folder) + "/" + names.front();
    }
};

// Each file of a backup (the memory's, then backup.json, which lists it)
// is written under a temporary name, synced, renamed, and its folder
// synced; each folder made is synced into its own; all of it before the
// panel is erased or written.
TEST_F(Durability, ABackupIsOnTheDiskBeforeThePanelIsChanged)
{
    auto bus = usedPanels();
    for (const auto &[command, file, saved] : {std::tuple<std::string, std::string, std::string>{
                                                   "flash", "fw.s19", "firmware.s19"},
                                               {"load-language", "lang.bin", "language.bin"}}) {
        const ProgramResult r = backingUp(*bus, command, file, "kept-" + saved);
        ASSERT_EQ(r.run.exitStatus, 0) << r.run.err;
        const std::vector<Call> calls = traceOf("kept-" + saved);
        const std::string own = backupIn("kept-" + saved);
        expectMadeDurably(calls, own + "/" + saved);
        expectMadeDurably(calls, own + "/backup.json");
        expectFoldersMadeDurably(calls);
        EXPECT_EQ(namesIn(own), (std::vector<std::string>{"backup.json", saved}));
    }
}

// The disk fails the backup at each call that makes it last: an fsync
// (EIO, as a failing disk returns it) or the rename. The service stops
// with the cause, before the panel is erased or written; no temporary is
// left, and no file is under its name unless it is whole.
TEST_F(Durability, ADiskThatFailsTheBackupStopsTheServiceBeforeTheErase)
{
    // Where each call is in runs that succeed, counted as strace counts
    // them.
    std::vector<Call> flash, language;
    {
        auto bus = usedPanels();
        ASSERT_EQ(backingUp(*bus, "flash", "fw.s19", "clean").run.exitStatus, 0);
        ASSERT_EQ(backingUp(*bus, "load-language", "lang.bin", "clean-language").run.exitStatus, 0);
        flash = traceOf("clean");
        language = traceOf("clean-language");
    }
    using At = std::vector<Call>::const_iterator;
    auto first = [](const std::vector<Call> &calls, auto is) { return std::find_if(calls.begin(), calls.end(), is); };
    auto renameOf = [](const char *file) {
        return [file](const Call &c) { return c.name.rfind("rename", 0) == 0 && endsWith(c.paths.back(), file); };
    };
    auto syncOfTemporary = [](const char *file) {
        return [file](const Call &c) { return c.name == "fsync" && temporaryOf(c.paths.front(), file); };
    };
    auto fsyncAfter = [&flash](At at) {
        return std::find_if(at + 1, flash.cend(), [](const Call &c) { return c.name == "fsync"; });
    };
    const At ownMade = first(flash, [](const Call &c) {
        return c.name == "mkdir" && c.succeeded() && std::regex_search(c.paths.front(), std::regex("Z$"));
    });
    const At firmwareRenamed = first(flash, renameOf("/firmware.s19"));
    const At manifestRenamed = first(flash, renameOf("/backup.json"));
    ASSERT_NE(ownMade, flash.end());
    ASSERT_NE(firmwareRenamed, flash.end());
    ASSERT_NE(manifestRenamed, flash.end());
    struct Fault {
        const char *what;
        At call;
        std::string blamed;             // the file or folder the cause names: "" the backups' folder, "."
                                        // the backup's own, else a file in it
        std::vector<std::string> left;  // in the backup's own folder afterwards
    };
    const Fault faults[] = {
        {"the fsync of the backups' folder once the backup's own is made", fsyncAfter(ownMade), "", {}},
        {"the fsync of firmware.s19's temporary", first(flash, syncOfTemporary("firmware.s19")), "firmware.s19", {}},
        {"the rename of firmware.s19's temporary", firmwareRenamed, "firmware.s19", {}},
        {"the fsync of the backup's folder after firmware.s19's rename", fsyncAfter(firmwareRenamed), ".",
         {"firmware.s19"}},
        {"the fsync of backup.json's temporary", first(flash, syncOfTemporary("backup.json")), "backup.json",
         {"firmware.s19"}},
        {"the fsync of the backup's folder after backup.json's rename", fsyncAfter(manifestRenamed), ".",
         {"backup.json", "firmware.s19"}},
    };
    auto bus = usedPanels();
    const emu::PanelModel before = bus->model();
    auto injectAt = [](const std::vector<Call> &calls, At at) {
        std::string name;
        const int n = ordinalOf(calls, [at](const Call &c) { return &c == &*at; }, name);
        return name + ":error=EIO:when=" + std::to_string(n);
    };
    for (std::size_t i = 0; i < std::size(faults); ++i) {
        const Fault &f = faults[i];
        ASSERT_NE(f.call, flash.end()) << f.what;
        const std::string folder = "fault-" + std::to_string(i);
        const ProgramResult r = backingUp(*bus, "flash", "fw.s19", folder, injectAt(flash, f.call));
        const std::vector<Call> calls = traceOf(folder);
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [](const Call &c) { return c.result.find("(INJECTED)") != std::string::npos; }),
                  1)
            << f.what;
        const std::string own = backupIn(folder);
        const std::string blamed = f.blamed.empty() ? scratch.path(folder) : f.blamed == "." ? own : own + "/" + f.blamed;
        EXPECT_EQ(r.run.exitStatus, 3) << f.what;
        EXPECT_EQ(r.run.err, "panel_tool: cannot write \"" + blamed + "\": Input/output error\n") << f.what;
        EXPECT_EQ(r.model.sectorsErased, before.sectorsErased) << f.what << ": erased";
        EXPECT_EQ(r.model.flashPagesWritten, before.flashPagesWritten) << f.what << ": written";
        EXPECT_EQ(namesIn(own), f.left) << f.what;
        // What is under its name is whole: the firmware the panel holds.
        if (!f.left.empty()) {
            const Bytes &now = r.model.panelFlash();
            EXPECT_EQ(firmwareImage(fileText(own + "/firmware.s19")),
                      Bytes(now.begin() + panel::kFirmwareRange.first, now.end()))
                << f.what;
        }
    }
    // A language's backup that cannot be synced: nothing is written.
    const ProgramResult r = backingUp(*bus, "load-language", "lang.bin", "language",
                                      injectAt(language, first(language, syncOfTemporary("language.bin"))));
    EXPECT_EQ(r.run.exitStatus, 3);
    EXPECT_EQ(r.run.err, "panel_tool: cannot write \"" + backupIn("language") + "/language.bin\": Input/output error\n");
    EXPECT_EQ(r.model.serialPagesWritten, before.serialPagesWritten);
    EXPECT_EQ(namesIn(backupIn("language")), std::vector<std::string>{});
}

// A full disk, halfway through a backup's file: the write stops short,
// then fails with ENOSPC. (A file system of the test's own: root.)
TEST_F(Durability, AFullDiskHalfwayThroughABackupStopsTheService)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "no file system of the test's own (not root)";
    ASSERT_TRUE(mountSmallFileSystem(scratch.path("full"), "48k")) << std::strerror(errno);
    auto bus = usedPanels();
    const emu::PanelModel before = bus->model();
    for (const auto &[command, file, saved] : {std::tuple<std::string, std::string, std::string>{
                                                   "flash", "fw.s19", "firmware.s19"},
                                               {"load-language", "lang.bin", "language.bin"}}) {
        const std::string folder = "full/" + command;
        const ProgramResult r = backingUp(*bus, command, file, folder);
        const std::string own = backupIn(folder);
        EXPECT_EQ(r.run.exitStatus, 3) << saved;
        EXPECT_EQ(r.run.err, "panel_tool: cannot write \"" + own + "/" + saved + "\": No space left on device\n");
        EXPECT_EQ(namesIn(own), std::vector<std::string>{}) << saved;
        // Halfway: some of the file was written, then the disk was full.
        std::vector<std::string> writes;
        for (const Call &c : traceOf(folder))
            if (c.name == "write" && !c.paths.empty() && temporaryOf(c.paths.front(), saved))
                writes.push_back(c.result);
        ASSERT_EQ(writes.size(), 2u) << saved;
        EXPECT_GT(std::stol(writes[0]), 0) << saved;
        EXPECT_EQ(writes[1].rfind("-1 ENOSPC", 0), 0u) << writes[1];
    }
    umount2(scratch.path("full").c_str(), MNT_DETACH);
    EXPECT_EQ(bus->model().sectorsErased, before.sectorsErased);
    EXPECT_EQ(bus->model().flashPagesWritten, before.flashPagesWritten);
    EXPECT_EQ(bus->model().serialPagesWritten, before.serialPagesWritten);
}

// The record's file, its write-ahead log: each commit (the bench's start,
// then one per service) is synced before the bench goes on, and a commit
// the disk fails stops the bench: the service under way ends, no other
// begins, and the exit status says the record is incomplete.
TEST_F(Durability, EveryCommitOfTheRecordIsSyncedAndOneThatFailsStopsTheBench)
{
    const std::string wal = scratch.path("clean.sqlite-wal");
    std::vector<Call> clean;
    {
        auto bus = usedPanels(2);
        BenchRun watch({"watch", "--firmware", "fw.s19", "--jobs", "1", "--record", scratch.path("clean.sqlite")},
                       scratch.dir, true, {}, straced(scratch.path("clean.trace"), "", false));
        ASSERT_TRUE(watch.sees(": done in ", 2));
        watch.interrupt();
        EXPECT_EQ(watch.end().exitStatus, 0);
        clean = readTrace(scratch.path("clean.trace"));
    }
    // The log's writes and syncs, in runs: its header, the bench's start,
    // then each service's commit, each synced before the bench goes on; and
    // the first sync of the first service's.
    std::vector<std::string> runs;
    std::vector<Call>::const_iterator serviceSynced = clean.cend();
    for (auto c = clean.cbegin(); c != clean.cend(); ++c) {
        const bool sync = c->name == "fsync" || c->name == "fdatasync";
        if (!c->names(wal) || (!sync && c->name != "pwrite64" && c->name != "write"))
            continue;
        const std::string kind = sync ? "sync" : "write";
        if (!runs.empty() && runs.back() == kind)
            continue;
        runs.push_back(kind);
        if (runs.size() == 6)
            serviceSynced = c;
    }
    EXPECT_EQ(runs, (std::vector<std::string>{"write", "sync", "write", "sync", "write", "sync", "write", "sync"}))
        << "the log's header, the bench's start and two services, each written, then synced";
    ASSERT_NE(serviceSynced, clean.cend());

    // The first service's commit fails to reach the disk.
    auto bus = usedPanels(2);
    std::string name;
    const int n = ordinalOf(clean, [serviceSynced](const Call &c) { return &c == &*serviceSynced; }, name);
    BenchRun watch({"watch", "--firmware", "fw.s19", "--jobs", "1", "--record", scratch.path("failing.sqlite")},
                   scratch.dir, true, {},
                   straced(scratch.path("failing.trace"), name + ":error=EIO:when=" + std::to_string(n), false));
    ASSERT_TRUE(watch.sees("serviced ")) << "the bench did not stop";
    const emu::ProgramRun run = watch.end();
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_EQ(run.err, "panel_tool: cannot write the record " + scratch.path("failing.sqlite") + ": disk I/O error\n");
    const std::vector<std::string> lines = lastingLines(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_NE(run.out.find("port " + bus->panelPort(0) + ": done in "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("port " + bus->panelPort(1) + ": not serviced: stopping"), std::string::npos) << run.out;
    EXPECT_EQ(lines.back(), "serviced 1 panel: 1 verified, 0 failed");
    EXPECT_EQ(bus->hostFramesReceived(1), 0u) << "a panel was serviced without its row in the record";
}

} // namespace
