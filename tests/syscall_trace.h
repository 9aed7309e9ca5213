// What a program asks of the kernel, seen from outside it with Debian's
// strace: the calls that create, write, sync and rename files, in order,
// each with the paths it names; and the faults strace injects into them (a
// failing fsync or rename), as the kernel would return them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support.h"

namespace testing_support {

// One call: its name, the paths it names (its descriptors' too, as
// strace -y gives them) and its result ("0", "-1 EIO (...) (INJECTED)").
struct Call {
    std::string name;
    std::string args;
    std::vector<std::string> paths;
    std::string result;

    bool names(const std::string &path) const { return std::find(paths.begin(), paths.end(), path) != paths.end(); }
    bool succeeded() const { return result.rfind("-1", 0) != 0; }
};

constexpr const char *kTracedCalls =
    "trace=openat,mkdir,write,pwrite64,fsync,fdatasync,rename,renameat,renameat2,unlink";

// The command that runs a program under strace, its calls into `traceFile`,
// with `inject` (strace's --inject: "fsync:error=EIO:when=3") when given.
// `follow`: its threads and the processes it starts as well.
inline std::vector<std::string> straced(const std::string &traceFile, const std::string &inject = "",
                                        bool follow = true)
{
    std::vector<std::string> command{"strace", "-qq", "-y", "-e", kTracedCalls, "-o", traceFile};
    if (follow)
        command.insert(command.begin() + 1, {"-f", "--seccomp-bpf"});
    if (!inject.empty())
        command.insert(command.end() - 2, {"-e", "inject=" + inject});
    // Under the sanitizers: LeakSanitizer stops the program with ptrace at
    // its end, which strace already holds; the leaks are looked for in
    // every other run of the same programs.
    if (const char *asan = std::getenv("ASAN_OPTIONS"))
        command.insert(command.end() - 2, {"-E", std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"});
    return command;
}

// Whether strace is here; the test names what to install when not.
inline bool straceInstalled() { return std::system("strace -V >/dev/null 2>&1") == 0; }

// The calls of a trace, in order.
inline std::vector<Call> readTrace(const std::string &traceFile)
{
    static const std::regex kLine(R"(^(?:\d+ +)?(\w+)\((.*)\) += (.*)$)");
    static const std::regex kDescriptor(R"((?:^|[ (,])\d+<([^>]*)>)");
    static const std::regex kString(R"re("((?:[^"\\]|\\.)*)")re");
    std::vector<Call> calls;
    std::istringstream lines(slurp(traceFile));
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, kLine))
            continue;
        Call call{m[1], m[2], {}, m[3]};
        const std::string args = m[2].str() + " " + m[3].str();
        for (auto it = std::sregex_iterator(args.begin(), args.end(), kDescriptor); it != std::sregex_iterator(); ++it)
            call.paths.push_back((*it)[1]);
        // A write's string is its data, not a path.
        if (call.name != "write" && call.name != "pwrite64")
            for (auto it = std::sregex_iterator(args.begin(), args.end(), kString); it != std::sregex_iterator();
                 ++it)
                call.paths.push_back((*it)[1]);
        calls.push_back(call);
    }
    return calls;
}

inline std::string folderOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

// `file` (absolute) was made so that it survives a power cut: written
// whole under a temporary name beside it, synced, renamed to its name, and
// its folder synced before anything else was made or renamed.
inline void expectMadeDurably(const std::vector<Call> &calls, const std::string &file)
{
    const auto renamed = std::find_if(calls.begin(), calls.end(), [&](const Call &c) {
        return c.name.rfind("rename", 0) == 0 && c.names(file) && c.succeeded();
    });
    ASSERT_NE(renamed, calls.end()) << file << " was not renamed into place";
    const auto temporary = std::find_if(renamed->paths.begin(), renamed->paths.end(), [&](const std::string &p) {
        return p != file && p.rfind(file + ".", 0) == 0;
    });
    ASSERT_NE(temporary, renamed->paths.end()) << file << " was renamed from elsewhere";
    auto touches = [&](const Call &c) { return c.names(*temporary); };
    const auto first = std::find_if(calls.begin(), renamed, touches);
    ASSERT_NE(first, renamed) << *temporary << " was never written";
    EXPECT_EQ(first->name, "openat") << "the temporary is made first";
    std::vector<std::string> after;
    for (auto c = first + 1; c != renamed; ++c)
        if (touches(*c))
            after.push_back(c->name);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "fsync") << file << ": its temporary is synced after its last write";
    EXPECT_TRUE(std::all_of(after.begin(), after.end() - 1, [](const std::string &n) { return n == "write"; }))
        << file << ": only written, then synced";
    auto makes = [](const Call &c) {
        return c.name == "mkdir" || c.name.rfind("rename", 0) == 0 ||
               (c.name == "openat" && c.args.find("O_CREAT") != std::string::npos);
    };
    const auto folderSynced = std::find_if(renamed + 1, calls.end(), [&](const Call &c) {
        return (c.name == "fsync" && c.names(folderOf(file))) || makes(c);
    });
    ASSERT_NE(folderSynced, calls.end()) << "the folder of " << file << " was not synced after its rename";
    EXPECT_TRUE(folderSynced->name == "fsync" && folderSynced->names(folderOf(file)) && folderSynced->succeeded())
        << "the folder of " << file << " is synced before anything else is made";
}

// Which call of its name (counted from 1, as strace's --inject counts
// them) the first call that `is` is; 0 when there is none.
template <typename Is> int ordinalOf(const std::vector<Call> &calls, Is is, std::string &name)
{
    const auto found = std::find_if(calls.begin(), calls.end(), is);
    if (found == calls.end())
        return 0;
    name = found->name;
    return static_cast<int>(std::count_if(calls.begin(), found + 1, [&](const Call &c) { return c.name == name; }));
}

} // namespace testing_support
