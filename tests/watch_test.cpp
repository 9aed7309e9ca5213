// panel_tool watch against emulated panels plugged in and pulled out while
// it runs, udev telling it as on a real host: every run is judged whole,
// its lines, its log, its exit status, and what each panel holds.
#include <algorithm>
#include <csignal>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <sqlite3.h>

#include "tests/programs.h"
#include "tests/watch_fixture.h"

using namespace testing_support;

namespace {

const std::string kTool = PANEL_TOOL_PATH;

// A journald of the test's own, where the machine lets a test start one
// (root): in a mount namespace of this process, which the programs it
// runs share, with the journal's sockets and files on memory file systems
// of their own. Needs a process with one thread, as a fresh test's is.
class PrivateJournal {
public:
    PrivateJournal()
    {
        static const char kJournald[] = "/lib/systemd/systemd-journald";
        if (geteuid() != 0 || access(kJournald, X_OK) != 0) {
            why = "not root, or no systemd-journald";
            return;
        }
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = std::string("no mount namespace of its own: ") + std::strerror(errno);
            return;
        }
        for (const char *dir : {"/run/systemd", "/run/log"}) {
            mkdir(dir, 0755);
            if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) {
                why = std::string("cannot mount ") + dir + ": " + std::strerror(errno);
                return;
            }
        }
        mkdir("/run/systemd/journal", 0755);
        pid = fork();
        if (pid == 0) {
            execl(kJournald, kJournald, static_cast<char *>(nullptr));
            _exit(127);
        }
        if (!eventually([] { return access("/run/systemd/journal/socket", F_OK) == 0; }))
            why = "systemd-journald did not start";
    }
    ~PrivateJournal()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    bool running() const { return pid > 0 && why.empty(); }
    const std::string &whyNot() const { return why; }

    // The entries with this MESSAGE_ID, each an object of its fields,
    // once `count` have arrived (within 30 s).
    std::vector<nlohmann::json> entries(const std::string &messageId, std::size_t count) const
    {
        std::vector<nlohmann::json> found;
        eventually([&] {
            found.clear();
            if (std::FILE *p = popen(("journalctl -q -D /run/log/journal -o json MESSAGE_ID=" + messageId).c_str(),
                                     "r")) {
                char line[1 << 16];
                while (std::fgets(line, sizeof line, p) != nullptr)
                    found.push_back(nlohmann::json::parse(line, nullptr, false));
                pclose(p);
            }
            return found.size() >= count;
        });
        return found;
    }

private:
    pid_t pid = -1;
    std::string why;
};

// A CSV text's records (RFC 4180: quoted fields, quotes doubled, lines
// ending in CRLF).
std::vector<std::vector<std::string>> csvRecords(const std::string &text)
{
    std::vector<std::vector<std::string>> records(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            records.back().push_back(field);
            field.clear();
            records.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    records.pop_back();  // after the last line end
    return records;
}


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
           "fw.s19", "lang.bin", 8 + 257, "kept", {}});
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
           "fw.s19", "", 8, "", {}});
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
    judge(run, *bus, before, {{{first, {"ok"}}}, "fw.s19", "", 8, "", {}});
    EXPECT_EQ(bus->hostFramesReceived(1), 0u);
    EXPECT_EQ(bus->hostFramesReceived(2), 0u);
    EXPECT_EQ(bus->hostFramesReceived(late), 0u);
    EXPECT_EQ(run.out.find("port " + third + ": not serviced"), std::string::npos) << run.out;
    // While it ran, its line showed its progress.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("  port " + escaped(first) +
                                                      R"( +firmware +erase +\[#+-+\] +\d+/120\x1b\[K)")))
        << run.out;
}

// A firmware whose name holds a quote, a comma, a backslash, a line end, a
// control byte and a Latin-1 "á", and a backup folder named with an "á":
// the log is still one valid JSON document a line, which a strict parser
// reads, and names the exact bytes of both, as the record's CSV does.
TEST_F(Watch, AnyFileNameGivesAValidLog)
{
    const std::string name = "fw \"q\", \\ \n \x01 \xe1.s19";
    scratch.write(name, fileText("fw.s19"));
    auto bus = panels();
    BenchRun watch({"watch", "--full", "--firmware", name, "--log", "bench.log", "--record", "bench.sqlite",
                    "--backup", "kept-\xe1"},
                   scratch.dir);
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
    const std::vector<std::string> kept = namesIn(scratch.path("kept-\xe1"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(textOf(line["files"][0], "backup"), "kept-\xe1/" + kept.front());
    // The record keeps the same bytes, and its CSV gives them back.
    const auto csv = csvRecords(run(kTool, {"history", "--record", "bench.sqlite", "--csv"}).run.out);
    ASSERT_EQ(csv.size(), 2u);
    ASSERT_EQ(csv[1].size(), csv[0].size());
    EXPECT_EQ(csv[1][std::find(csv[0].begin(), csv[0].end(), "firmware_file") - csv[0].begin()], scratch.path(name));
}

// The service's own command line (the unit's ExecStart), its configuration
// `config`.
std::vector<std::string> serviceCommand(const std::string &config)
{
    std::istringstream unit(slurp(std::string(PANEL_SOURCE_DIR) + "/packaging/panel-bench.service"));
    std::vector<std::string> words;
    for (std::string line; std::getline(unit, line);) {
        if (line.rfind("ExecStart=", 0) != 0)
            continue;
        std::istringstream in(line.substr(10));
        for (std::string word; in >> word;)
            words.push_back(word == "/etc/panel-service-tools/bench.conf" ? config : word);
    }
    EXPECT_FALSE(words.empty()) << "no ExecStart in the unit";
    EXPECT_EQ(words.front(), "/usr/bin/panel_tool");
    return std::vector<std::string>(words.begin() + std::min<std::ptrdiff_t>(1, words.size()), words.end());
}

// A service station: the bench run by its unit's command line from a
// configuration, stopped as systemctl stops it (SIGTERM). Three panels in
// the bench's ports, one of them with a worn page, and one beside them in
// a port that is not the bench's, which is never opened. Each service
// ends in one row of the SQLite record (WAL, its schema version set) that
// history reads back as a table, CSV and JSON, and, where a journald could
// be started for the test, one journal entry with its fields.
TEST_F(Watch, AServiceStationKeepsARecordOfEveryService)
{
    PrivateJournal journal;
    auto bus = panels();
    plugIn(*bus);
    emu::ModelFaults worn;
    worn.wornFlashPage = 66;
    plugIn(*bus, worn);
    plugIn(*bus);
    const std::vector<emu::PanelModel> before = holdings(*bus);
    const std::string p0 = bus->panelPort(0), p1 = bus->panelPort(1), p2 = bus->panelPort(2),
                      other = bus->panelPort(3);
    // Its firmware signed by the shop's key, which the station trusts.
    const SigningKey shop = makeSigningKey(scratch.dir, "shop", scratch.path("keys"));
    signFile(shop, scratch.path("fw.s19"), "station firmware\tbuild 12");
    scratch.write("bench.conf", "# the station\nfirmware = fw.s19\nrecord = station.sqlite\nlog = bench.log\n"
                                "ports = " + p0 + "," + p1 + ", " + p2 + "\njobs = 3\nverify = yes\n"
                                "trusted_keys = keys\n");
    BenchRun watch(serviceCommand("bench.conf"), scratch.dir);
    ASSERT_TRUE(watch.sees(": done in ", 2));
    ASSERT_TRUE(watch.sees("FAILED"));
    // udevadm trigger, as an administrator runs it after changing a rule:
    // every panel is told of again, though none was plugged in. None is
    // serviced again, and the one outside the bench's ports is not told
    // of twice. A panel plugged in after it shows that the bench has
    // heard it all.
    bus->announceAgain();
    const std::string late = bus->panelPort(plugIn(*bus));
    const std::string ignored = ": panel plugged in; not one of the bench's ports: ignored\n";
    ASSERT_TRUE(watch.sees("port " + late + ignored));
    watch.signal(SIGTERM);
    const emu::ProgramRun run = watch.end();
    judge(run, *bus, before,
          {{{p0, {"ok"}}, {p1, {"ok"}}, {p2, {"failed flashing"}}}, "fw.s19", "", 8, "", {{"firmware", shop.id}}});
    const std::regex told("port " + escaped(other + ignored));
    EXPECT_EQ(std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), told), std::sregex_iterator()), 1)
        << run.out;
    EXPECT_EQ(bus->hostFramesReceived(3), 0u) << "a panel outside the bench's ports was opened";

    // The record: one true row per service, as the log has it.
    std::vector<nlohmann::json> logged;
    std::istringstream log(slurp(scratch.path("bench.log")));
    for (std::string line; std::getline(log, line);)
        logged.push_back(nlohmann::json::parse(line));
    const auto rows = runOn(*bus, kTool, {"history", "--record", "station.sqlite", "--json"});
    EXPECT_EQ(rows.run.exitStatus, 0) << rows.run.err;
    const auto history = nlohmann::json::parse(rows.run.out, nullptr, false);
    ASSERT_TRUE(history.is_array() && history.size() == 3 && logged.size() == 3) << rows.run.out;
    for (std::size_t i = 0; i < 3; ++i) {
        const nlohmann::json &row = history[i], &line = logged[i], &file = line["files"][0];
        EXPECT_EQ(row["time"], line["time"]);
        EXPECT_EQ(row["port"], line["port"]);
        EXPECT_EQ(row["station"], line["station"]);
        EXPECT_EQ(row["result"], line["result"]);
        EXPECT_EQ(row["step"], line["step"]);
        EXPECT_EQ(row["cause"], line["cause"]);
        EXPECT_EQ(row["pages_written"], line["pages_written"]);
        EXPECT_EQ(row["verified"], line["verified"].get<bool>() ? 1 : 0);
        EXPECT_EQ(row["firmware_file"], file["file"]);
        EXPECT_EQ(row["firmware_sha256"], sha256sum(scratch.path("fw.s19")));
        EXPECT_EQ(row["firmware_held_sha256"], file["held_sha256"]);
        EXPECT_EQ(row["firmware_held_boot_check"], file["held_boot_check"].get<bool>() ? 1 : 0);
        EXPECT_EQ(row["sectors_erased"], file["sectors_erased"]);
        EXPECT_TRUE(row["language_file"].is_null());
        // Who signed it, as the log has it: the key and its file, the
        // trusted comment without its tab.
        EXPECT_EQ(row["firmware_signer_key_id"], shop.id);
        EXPECT_EQ(row["firmware_signer_key_file"], scratch.dir + "/keys/shop.pub");
        EXPECT_EQ(file["signer_key_file"], row["firmware_signer_key_file"]);
        EXPECT_EQ(row["firmware_trusted_comment"], "station firmware build 12");
        EXPECT_EQ(file["trusted_comment"], row["firmware_trusted_comment"]);
    }
    for (const nlohmann::json &row : history)
        EXPECT_EQ(row["result"], row["port"] == p2 ? "mismatch" : "verified") << row.dump();
    const auto failing = runOn(*bus, kTool, {"history", "--record", "station.sqlite", "--json", "--result", "mismatch"});
    EXPECT_EQ(nlohmann::json::parse(failing.run.out).size(), 1u) << failing.run.out;
    const auto onePort = runOn(*bus, kTool, {"history", "--record", "station.sqlite", "--csv", "--port", p0});
    const auto csv = csvRecords(onePort.run.out);
    ASSERT_EQ(csv.size(), 2u) << onePort.run.out;
    EXPECT_EQ(csv[1][std::find(csv[0].begin(), csv[0].end(), "port") - csv[0].begin()], p0);
    // Every field of every row, as CSV (a mismatch's cause holds commas).
    const auto all = csvRecords(runOn(*bus, kTool, {"history", "--record", "station.sqlite", "--csv"}).run.out);
    ASSERT_EQ(all.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(all[i + 1].size(), all[0].size()) << "row " << i;
        for (std::size_t c = 0; c < all[0].size(); ++c) {
            const nlohmann::json &field = history[i][all[0][c]];
            EXPECT_EQ(all[i + 1][c], field.is_null() ? "" : field.is_string() ? field.get<std::string>() : field.dump())
                << all[0][c];
        }
    }
    // From a time on, that time included: as the record gives it, to the
    // minute, the day.
    const std::string second = history[1]["time"];
    for (const std::string &since : {second, second.substr(0, 16), second.substr(0, 16) + "Z", second.substr(0, 10)}) {
        const auto table = runOn(*bus, kTool, {"history", "--record", "station.sqlite", "--since", since});
        // Compared to the day, the minute or the second the form gives.
        const std::string from = since.substr(0, since.size() == 10 ? 10 : since.size() < 19 ? 16 : 19);
        const auto rows = std::count_if(history.begin(), history.end(), [&](const nlohmann::json &row) {
            return row["time"].get<std::string>().compare(0, from.size(), from) >= 0;
        });
        EXPECT_EQ(std::count(table.run.out.begin(), table.run.out.end(), '\n'), 1 + rows) << since << table.run.out;
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(scratch.path("station.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    auto pragma = [db](const char *sql) {
        sqlite3_stmt *statement = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
            value = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        return value;
    };
    EXPECT_EQ(pragma("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(pragma("PRAGMA user_version"), "2");
    EXPECT_EQ(pragma("SELECT count(*) FROM benches"), "1");
    sqlite3_close(db);

    // The journal: one entry per service, with its fields.
    if (!journal.running()) {
        std::printf("journal not checked: %s\n", journal.whyNot().c_str());
        return;
    }
    // The MESSAGE_ID as the documentation gives it, for journalctl.
    const auto entries = journal.entries("df96b6c9014747dfb674359c66cd6bb3", 3);
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const nlohmann::json &e = entries[i], &line = logged[i];
        EXPECT_EQ(e.value("PANEL_PORT", ""), line["port"]);
        EXPECT_EQ(e.value("PANEL_RESULT", ""), line["result"]);
        EXPECT_EQ(e.value("PANEL_FIRMWARE", ""), line["files"][0]["file"]);
        EXPECT_EQ(e.value("PANEL_FIRMWARE_SHA256", ""), sha256sum(scratch.path("fw.s19")));
        EXPECT_EQ(e.value("PANEL_FIRMWARE_HELD_SHA256", ""), line["files"][0]["held_sha256"]);
        EXPECT_EQ(e.value("PANEL_FIRMWARE_SIGNER_KEY_ID", ""), shop.id);
        EXPECT_EQ(e.value("PANEL_FIRMWARE_SIGNER_KEY_FILE", ""), line["files"][0]["signer_key_file"]);
        EXPECT_EQ(e.value("PANEL_FIRMWARE_TRUSTED_COMMENT", ""), "station firmware build 12");
        EXPECT_EQ(e.value("PANEL_PAGES_WRITTEN", ""), std::to_string(line["pages_written"].get<int>()));
        EXPECT_FALSE(e.value("PANEL_SECONDS", "").empty());
        EXPECT_EQ(e.value("PANEL_CAUSE", ""), line["cause"]);
        EXPECT_EQ(e.value("PRIORITY", ""), line["result"] == "verified" ? "6" : "3") << "err for a failure";
        EXPECT_EQ(e.value("MESSAGE", "").rfind("port " + line["port"].get<std::string>() +
                                                   (line["port"] == p2 ? ": FAILED after " : ": done in "),
                                               0),
                  0u)
            << e.value("MESSAGE", "");
    }
}

// A configuration's settings are the bench's: its ports, one panel at a
// time, and, as lang_loader and panel_flasher work, everything written
// without reading the panel first or back afterwards.
TEST_F(Watch, AConfigurationSetsTheBench)
{
    const auto flasher = run(PANEL_FLASHER_PATH, {"fw.s19"});
    ASSERT_EQ(flasher.run.exitStatus, 1);
    auto bus = panels();
    plugIn(*bus);
    const std::string mine = bus->panelPort(1);
    scratch.write("bench.conf", "firmware = fw.s19\nports = " + mine +
                                    "\njobs = 1\nverify = no\nfull = yes\nrequire_signature = no\n");
    BenchRun watch({"watch", "--config", "bench.conf"}, scratch.dir);
    ASSERT_TRUE(watch.sees("port " + mine + ": done in "));
    watch.signal(SIGTERM);
    const emu::ProgramRun run = watch.end();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(std::regex_search(run.out, std::regex("port " + escaped(mine) +
                                                      R"(: done in \d+\.\d s: flashed fw\.s19; 8 pages written \(not verified\)\n)")))
        << run.out;
    EXPECT_NE(run.out.find("serviced 1 panel: 1 written (not verified), 0 failed\n"), std::string::npos) << run.out;
    EXPECT_EQ(hostFrames(bus->model(1)), hostFrames(flasher.model)) << "panel_flasher's frames, no more";
    EXPECT_EQ(bus->hostFramesReceived(0), 0u);
}

// Two benches on one host, each with sockets of its own, as two service
// units run them: udev tells every listener of every panel plugged in,
// and each bench services its own and ignores the other's.
TEST_F(Watch, TwoBenchesOnOneHostEachHearEveryPanel)
{
    auto bus = panels();
    const std::vector<emu::PanelModel> before = holdings(*bus);
    const std::string mine = bus->panelPort(0);
    BenchRun bench({"watch", "--firmware", "fw.s19", "--ports", mine, "--log", "bench.log"}, scratch.dir);
    BenchRun other({"watch", "--firmware", "fw.s19", "--ports", "9-9", "--log", "other.log"}, scratch.dir);
    ASSERT_TRUE(bench.sees("port " + mine + ": done"));
    ASSERT_TRUE(other.sees("waiting for panels"));
    const std::size_t late = plugIn(*bus);
    const std::string ignored =
        "port " + bus->panelPort(late) + ": panel plugged in; not one of the bench's ports: ignored\n";
    EXPECT_TRUE(bench.sees(ignored));
    EXPECT_TRUE(other.sees(ignored));
    bench.signal(SIGTERM);
    other.signal(SIGTERM);
    judge(bench.end(), *bus, before, {{{mine, {"ok"}}}, "fw.s19", "", 8, "", {}});
    const emu::ProgramRun run = other.end();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("serviced 0 panels: "), std::string::npos) << run.out;
    EXPECT_EQ(bus->hostFramesReceived(late), 0u);
}

// A record on a file system that is full cannot be written: the bench is
// refused before any panel is touched. (Needs a file system of the test's
// own: root.)
TEST_F(Watch, ARecordOnAFullFileSystemIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "no file system of the test's own (not root)";
    ASSERT_TRUE(mountSmallFileSystem(scratch.path("full"), "64k")) << std::strerror(errno);
    {
        std::FILE *filler = std::fopen(scratch.path("full/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    const ProgramResult r = run(kTool, {"watch", "--firmware", "fw.s19", "--record", "full/bench.sqlite"});
    umount2(scratch.path("full").c_str(), MNT_DETACH);
    EXPECT_EQ(r.run.exitStatus, 2);
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.run.err, "panel_tool: cannot keep the record full/bench.sqlite: database or disk is full\n");
    EXPECT_TRUE(noUsbAccess(r));
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
    ASSERT_TRUE(watch.sees("serviced ")) << "the bench did not stop";
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

// A file, a signature, keys, a configuration, a log or a record that
// cannot be used: a usage error, before any panel is touched.
TEST_F(Watch, RefusesWhatItCannotUseBeforeAnyPanelIsTouched)
{
    scratch.write("bad.s19", std::string("S3090000400001020304AB\n"));
    scratch.write("short.bin", Bytes(100, 0x41));
    // Configurations a service might be given, and a record's folder it
    // may not write.
    scratch.write("typo.conf", std::string("# the bench\nfirmware = fw.s19\nfimware = fw.s19\n"));
    scratch.write("empty.conf", std::string("jobs = 2\n"));
    scratch.write("jobs.conf", std::string("firmware = fw.s19\njobs = many\n"));
    scratch.write("ports.conf", std::string("firmware = fw.s19\nports = 1-1,,1-2\n"));
    mkdir(scratch.path("read-only").c_str(), 0555);
    // A record a later release made (its schema version is higher).
    sqlite3 *later = nullptr;
    ASSERT_EQ(sqlite3_open(scratch.path("later.sqlite").c_str(), &later), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(later, "CREATE TABLE t (a); PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK);
    // A bench that requires signatures, as a configuration does unless it
    // says otherwise, of a firmware that has none; or without the keys.
    makeSigningKey(scratch.dir, "shop", scratch.path("keys"));
    scratch.write("unsigned.conf", std::string("firmware = fw.s19\ntrusted_keys = keys\n"));
    scratch.write("system.conf", std::string("firmware = fw.s19\n"));
    const std::string noSignature = "panel_tool: \"fw.s19\": it has no signature (fw.s19.minisig): sign it with a "
                                    "trusted key (minisign -S -m FILE)\n";
    sqlite3_close(later);
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
        {{"flash", "fw.s19", "--log", "bench.log"}, "--firmware, --language, --log, --jobs, --ports and --config are for watch"},
        {{"watch", "--config", "typo.conf"}, "typo.conf line 3: unknown setting 'fimware'"},
        {{"watch", "--config", "empty.conf"}, "empty.conf: no firmware set (firmware = FILE.s19)"},
        {{"watch", "--config", "jobs.conf"}, "jobs.conf line 2: jobs takes a number from 1 to 64, not 'many'"},
        {{"watch", "--config", "ports.conf"}, "ports.conf line 2: ports takes ports separated by commas"},
        {{"watch", "--config", "missing.conf"}, "cannot read the configuration missing.conf: No such file or directory"},
        {{"watch", "--config", "typo.conf", "--jobs", "2"}, "in --config or on the command line, not both"},
        {{"watch", "--firmware", "fw.s19", "--record", "read-only/bench.sqlite"},
         "cannot keep the record read-only/bench.sqlite: unable to open database file"},
        {{"watch", "--firmware", "fw.s19", "--ports", "1-1,"}, "--ports takes ports separated by commas"},
        {{"watch", "--firmware", "fw.s19", "--record", "later.sqlite"},
         "cannot keep the record later.sqlite: it was made by a later release (schema 3)"},
        {{"watch", "--config", "unsigned.conf"}, noSignature},
        {{"watch", "--require-signature", "--trusted-keys", "keys", "--firmware", "fw.s19"}, noSignature},
        {{"watch", "--config", "system.conf"}, "panel_tool: trusted keys /etc/panel-service-tools/trusted-keys: "},
        {{"watch", "--config", "unsigned.conf", "--trusted-keys", "keys"}, "in --config or on the command line, not both"},
        {{"restore", "--trusted-keys", "keys", "backup"}, "--trusted-keys and --require-signature are for flash"},
        {{"history"}, "history needs --record FILE"},
        {{"history", "--record", "r.sqlite", "--since", "yesterday"}, "--since takes a UTC time"},
        {{"flash", "fw.s19", "--record", "r.sqlite"}, "--record is for watch and history"},
    };
    // A refusal comes at once: a bench that waits for panels instead is
    // stopped (and the exit status is timeout's).
    wrapper = {"timeout", "20"};
    for (const auto &c : cases) {
        const ProgramResult r = run(kTool, c.args);
        EXPECT_EQ(r.run.exitStatus, 2) << c.args.back();
        EXPECT_EQ(r.run.out, "") << c.args.back();
        EXPECT_EQ(r.run.err.rfind("panel_tool: ", 0), 0u) << r.run.err;
        EXPECT_NE(r.run.err.find(c.cause), std::string::npos) << r.run.err;
        EXPECT_TRUE(noUsbAccess(r)) << c.args.back();
    }
}

// A record that the last release began (schema 1) is migrated when a
// bench opens it: its rows kept as they were, read back by history (which
// reads it before, too) beside the new service, whose signer the columns
// the migration added hold.
TEST_F(Watch, ARecordOfTheLastReleaseIsMigratedWithItsRows)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(scratch.path("old.sqlite").c_str(), &db), SQLITE_OK);
    const std::string dump = slurp(std::string(PANEL_SOURCE_DIR) + "/tests/records/release-1.0.0.sql");
    ASSERT_EQ(sqlite3_exec(db, dump.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    auto history = [this]() {
        const auto rows = run(kTool, {"history", "--record", "old.sqlite", "--json"});
        EXPECT_EQ(rows.run.exitStatus, 0) << rows.run.err;
        return nlohmann::json::parse(rows.run.out, nullptr, false);
    };
    const nlohmann::json old = history();
    ASSERT_TRUE(old.is_array() && old.size() == 3) << old.dump();
    EXPECT_EQ(old[2]["result"], "mismatch");
    EXPECT_TRUE(old[0]["firmware_signer_key_id"].is_null());

    const SigningKey shop = makeSigningKey(scratch.dir, "shop", scratch.path("keys"));
    signFile(shop, scratch.path("fw.s19"), "after the migration");
    auto bus = panels();
    BenchRun watch({"watch", "--firmware", "fw.s19", "--record", "old.sqlite", "--require-signature", "--trusted-keys",
                    "keys"},
                   scratch.dir);
    ASSERT_TRUE(watch.sees(": done in "));
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.end().exitStatus, 0);
    const nlohmann::json now = history();
    ASSERT_TRUE(now.is_array() && now.size() == 4) << now.dump();
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(now[i], old[i]) << "row " << i;
    EXPECT_EQ(now[3]["firmware_signer_key_id"], shop.id);
    EXPECT_EQ(now[3]["firmware_trusted_comment"], "after the migration");
    ASSERT_EQ(sqlite3_open_v2(scratch.path("old.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *version = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &version, nullptr);
    EXPECT_EQ(sqlite3_step(version), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(version, 0), 2);
    sqlite3_finalize(version);
    sqlite3_close(db);
}

} // namespace
