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

#include "tests/support.h"

namespace testing_support {

// What a watch should have done: per port, how its services ended, in
// order ("ok", "failed loading", "failed flashing"); the files every
// panel gets, as the watch was given them.
struct WatchExpected {
    std::map<std::string, std::vector<std::string>> services;
    std::string firmware;
    std::string language;  // none when empty
    uint32_t pages = 0;    // written by a service that ends well
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
    EXPECT_EQ(lines.front(), "waiting for panels (USB 15a2:0040); Ctrl-C stops");
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
            std::string did = "flashed " + expected.firmware;
            if (!expected.language.empty())
                did = "loaded " + expected.language + ", " + did;
            EXPECT_EQ(m[2], did);
            EXPECT_EQ(std::stoul(m[3]), expected.pages);
            services[m[1]].push_back("ok");
            ended.push_back(m[1].str() + ": ok");
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

// One log line per service, in the order they ended, each true. The
// files are named as the watch saw them (`seenIn`, its working folder)
// and hashed from `localDir`, which holds the same bytes.
inline void judgeWatchLog(const std::string &log, const std::vector<std::string> &ended,
                          const WatchExpected &expected, const std::string &seenIn, const std::string &localDir)
{
    std::istringstream in(log);
    std::vector<std::string> records;
    for (std::string line; std::getline(in, line);)
        records.push_back(line);
    ASSERT_EQ(records.size(), ended.size()) << "log lines:\n" << log;
    auto file = [&](const std::string &kind, const std::string &name) {
        return escaped("{\"kind\": \"" + kind + "\", \"file\": \"" + seenIn + "/" + name + "\", \"sha256\": \"" +
                       sha256sum(localDir + "/" + name) + "\"}");
    };
    std::string files = "\\[";
    if (!expected.language.empty())
        files += file("language", expected.language) + ", ";
    files += file("firmware", expected.firmware) + "\\]";
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string port = ended[i].substr(0, ended[i].find(':'));
        const std::string how = ended[i].substr(port.size() + 2);
        const std::string step = how == "failed loading" ? "language" : "firmware";
        const std::string head = R"(\{"time": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", "port": ")" + escaped(port) +
                                 "\", \"files\": " + files + ", \"pages_written\": ";
        const std::string tail =
            how == "ok" ? std::to_string(expected.pages) + R"(, "verified": true, "seconds": \d+\.\d{3}, )"
                                                           R"("result": "verified", "step": "", "cause": ""\})"
                        : R"re(\d+, "verified": false, "seconds": \d+\.\d{3}, "result": "(failed|mismatch)", )re"
                          R"("step": ")" + step + R"(", "cause": "[^"]+"\})";
        EXPECT_TRUE(std::regex_match(records[i], std::regex(head + tail))) << records[i];
    }
}

} // namespace testing_support
