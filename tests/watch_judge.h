// How a run of panel_tool watch is judged, on the emulator and on the
// kernel machine alike: its lasting lines, its summary and exit status,
// and its log, one true line per service.
#pragma once

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support.h"

namespace testing_support {

// What a watch should have done: per port, how its services ended, in
// order ("ok"; "held": the panel held every file already; "held
// language": the language only; "failed loading", "failed flashing");
// the files every
// panel gets, as the watch was given them.
struct WatchExpected {
    std::map<std::string, std::vector<std::string>> services;
    std::string firmware;
    std::string language;  // none when empty
    uint32_t pages = 0;    // written by a service that ends well
    std::string backup;    // the folder of the panels' backups, as the watch was given it; none when empty
    // The id of the key that signed each kind of file ("firmware"), when
    // the bench checked signatures; none when empty.
    std::map<std::string, std::string> signers;
};

inline std::string escaped(const std::string &text)
{
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The lines that stay on a terminal: the live lines and what draws them
// taken out.
inline std::vector<std::string> lastingLines(const std::string &out)
{
    const std::string plain = std::regex_replace(out, std::regex("\x1b\\[[0-9]*[A-Za-z]|\r"), "");
    std::vector<std::string> lines;
    std::istringstream in(plain);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  port ", 0) != 0)
            lines.push_back(line);
    return lines;
}

// A line when each panel appears and one when its service ends, the
// summary, the exit status. Returns "port: how" for every service in the
// order they ended, for the log.
inline std::vector<std::string> judgeWatchOutput(const std::string &out, int exitStatus,
                                                 const WatchExpected &expected)
{
    const std::vector<std::string> lines = lastingLines(out);
    if (lines.empty()) {
        ADD_FAILURE() << "no output";
        return {};
    }
    // The signer of each file, when the bench checked, told first.
    std::size_t first = 0;
    for (const auto &[kind, file] : {std::make_pair("language", expected.language), std::make_pair("firmware", expected.firmware)}) {
        const auto id = expected.signers.find(kind);
        if (id == expected.signers.end())
            continue;
        const std::string told = std::string(kind) + " " + file + ": signed by key " + id->second + " (";
        EXPECT_EQ(lines[std::min(first, lines.size() - 1)].rfind(told, 0), 0u) << told << " in:\n" << out;
        ++first;
    }
    EXPECT_EQ(lines[std::min(first, lines.size() - 1)], "waiting for panels (USB 15a2:0040); Ctrl-C stops");
    std::map<std::string, std::vector<std::string>> services;
    std::map<std::string, int> pluggedIn;
    std::vector<std::string> ended;
    const std::regex done(R"(port (\S+): done in \d+\.\d s: (.*); (\d+) pages written and verified)");
    const std::regex failed(
        R"(port (\S+): FAILED after \d+\.\d s, (loading|flashing) \S+: .*; plug it in again to try again)");
    const std::regex plugged(R"(port (\S+): panel plugged in)");
    int ok = 0, bad = 0;
    for (const std::string &line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, done)) {
            // Each file written, or found there already (on a panel
            // serviced before, or one whose service was cut short after
            // its language).
            const std::string flashed = "flashed " + expected.firmware, loaded = "loaded " + expected.language;
            const std::string firmwareHeld = expected.firmware + " already held";
            const std::string languageHeld = expected.language + " already held";
            std::map<std::string, std::pair<std::string, uint32_t>> ways{{"ok", {flashed, expected.pages}},
                                                                         {"held", {firmwareHeld, 0}}};
            if (!expected.language.empty())
                ways = {{"ok", {loaded + ", " + flashed, expected.pages}},
                        {"held", {languageHeld + ", " + firmwareHeld, 0}},
                        {"held language", {languageHeld + ", " + flashed, expected.pages - 257}}};
            std::string how = "ok";
            for (const auto &[name, way] : ways)
                if (m[2] == way.first)
                    how = name;
            EXPECT_EQ(m[2], ways[how].first);
            EXPECT_EQ(std::stoul(m[3]), ways[how].second);
            services[m[1]].push_back(how);
            ended.push_back(m[1].str() + ": " + how);
            ++ok;
        } else if (std::regex_match(line, m, failed)) {
            services[m[1]].push_back("failed " + m[2].str());
            ended.push_back(m[1].str() + ": failed " + m[2].str());
            ++bad;
        } else if (std::regex_match(line, m, plugged)) {
            ++pluggedIn[m[1]];
        }
    }
    EXPECT_EQ(services, expected.services) << out;
    for (const auto &[port, outcomes] : services)
        EXPECT_EQ(pluggedIn[port], static_cast<int>(outcomes.size())) << "port " << port << ": plug-ins";
    EXPECT_EQ(lines.back(), "serviced " + std::to_string(ok + bad) + (ok + bad == 1 ? " panel: " : " panels: ") +
                                std::to_string(ok) + " verified, " + std::to_string(bad) + " failed");
    EXPECT_EQ(exitStatus, bad == 0 ? 0 : 1);
    return ended;
}

// One log line per service, in the order they ended, each a JSON document
// that tells the truth: the files every panel gets, named as the watch
// saw them (`seenIn`, its working folder) and hashed from `localDir`,
// which holds the same bytes; for each file the service wrote, what the
// panel held before and what of it was erased, written and left alone;
// how the service ended.
inline void judgeWatchLog(const std::string &log, const std::vector<std::string> &ended,
                          const WatchExpected &expected, const std::string &seenIn, const std::string &localDir)
{
    std::istringstream in(log);
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(in, line);) {
        records.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(records.back().is_object()) << "not JSON: " << line;
    }
    ASSERT_EQ(records.size(), ended.size()) << "log lines:\n" << log;
    std::vector<std::pair<std::string, std::string>> files;
    if (!expected.language.empty())
        files.emplace_back("language", expected.language);
    files.emplace_back("firmware", expected.firmware);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const nlohmann::json &r = records[i];
        if (!r.is_object())
            continue;
        const std::string port = ended[i].substr(0, ended[i].find(':'));
        const std::string how = ended[i].substr(port.size() + 2);
        const bool ok = how == "ok" || how.rfind("held", 0) == 0;
        const std::string failedStep = how == "failed loading" ? "language" : "firmware";
        EXPECT_TRUE(std::regex_match(r.value("time", ""), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
            << r.dump();
        EXPECT_EQ(r.value("port", ""), port);
        ASSERT_TRUE(r.contains("files") && r["files"].is_array() && r["files"].size() == files.size()) << r.dump();
        int64_t pages = 0;
        for (std::size_t f = 0; f < files.size(); ++f) {
            const nlohmann::json &file = r["files"][f];
            EXPECT_EQ(file.value("kind", ""), files[f].first);
            EXPECT_EQ(textOf(file, "file"), seenIn + "/" + files[f].second);
            EXPECT_EQ(file.value("sha256", ""), sha256sum(localDir + "/" + files[f].second));
            const auto signer = expected.signers.find(files[f].first);
            EXPECT_EQ(file["signer_key_id"], signer != expected.signers.end() ? nlohmann::json(signer->second)
                                                                                : nlohmann::json(nullptr))
                << file.dump();
            const bool ran = ok || files[f].first == "language" || failedStep == "firmware";
            if (!ran) {
                EXPECT_TRUE(file["result"].is_null()) << "a step never begun: " << file.dump();
                continue;
            }
            if (file["result"] == "failed")
                continue;
            EXPECT_TRUE(file["held_sha256"].is_string() && file["held_sha256"].get<std::string>().size() == 64)
                << file.dump();
            const bool firmware = files[f].first == "firmware";
            EXPECT_EQ(file["held_boot_check"].is_boolean(), firmware) << file.dump();
            const int64_t erased = file.value("sectors_erased", int64_t{-1});
            const int64_t written = file.value("pages_written", int64_t{-1});
            const int64_t skipped = file.value("pages_skipped", int64_t{-1});
            if (firmware) {
                EXPECT_EQ(erased * 8 + skipped, 960) << file.dump();
            } else {
                EXPECT_EQ(erased, 0) << file.dump();
                EXPECT_EQ(written + skipped, 257) << file.dump();
            }
            if (how == "held" || (how == "held language" && !firmware)) {
                EXPECT_EQ(file.value("result", ""), "already held") << file.dump();
                EXPECT_EQ(written, 0) << file.dump();
            }
            pages += written;
            if (expected.backup.empty()) {
                EXPECT_TRUE(file["backup"].is_null()) << file.dump();
            } else {
                // Saved before anything was written, in the panel's own
                // backup, which a restore takes back.
                const std::string saved = file.value("backup", "");
                EXPECT_EQ(saved.rfind(expected.backup + "/" + port + "-", 0), 0u) << file.dump();
                // The backup hashes what it saved on its own: what the log
                // says the panel held is what the backup holds.
                const nlohmann::json manifest =
                    nlohmann::json::parse(slurp(localDir + "/" + saved + "/backup.json"), nullptr, false);
                bool listed = false;
                for (const nlohmann::json &memory : manifest.value("memories", nlohmann::json::array()))
                    if (memory.value("memory", "") == files[f].first) {
                        listed = true;
                        EXPECT_EQ(memory.value("held_sha256", ""), file["held_sha256"]) << saved;
                    }
                EXPECT_TRUE(listed) << saved;
            }
        }
        EXPECT_EQ(r.value("verified", !ok), ok);
        EXPECT_TRUE(r.contains("seconds") && r["seconds"].is_number() && r["seconds"] > 0) << r.dump();
        if (ok) {
            const int64_t wanted = how == "held"            ? 0
                                   : how == "held language" ? static_cast<int64_t>(expected.pages) - 257
                                                            : static_cast<int64_t>(expected.pages);
            EXPECT_EQ(r.value("pages_written", int64_t{-1}), wanted);
            EXPECT_EQ(pages, wanted);
            EXPECT_EQ(r.value("result", ""), "verified");
            EXPECT_EQ(r.value("step", "?"), "");
            EXPECT_EQ(r.value("cause", "?"), "");
        } else {
            EXPECT_TRUE(r.value("result", "") == "failed" || r.value("result", "") == "mismatch") << r.dump();
            EXPECT_EQ(r.value("step", ""), failedStep);
            EXPECT_NE(r.value("cause", ""), "");
        }
    }
}

} // namespace testing_support
