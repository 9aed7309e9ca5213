// Shared by the tests: a scratch folder, the emulated panel, and ways to
// read what crossed the link.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <dirent.h>
#include <cstdio>
#include <cerrno>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "emulator/run_program.h"
#include "emulator/srec_writer.h"
#include "emulator/usb_panel.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Which libusb-0.1 the programs under test load: Debian's 0.1.12, or
// libusb-compat over libusb-1.0, built into the build tree. ctest runs the
// end-to-end suites a second time with libusb-compat first in the library
// path, which the programs and this process inherit.
inline bool underCompat()
{
    const char *path = std::getenv("LD_LIBRARY_PATH");
    const std::string compat = PANEL_COMPAT_LIB;
    return path != nullptr && std::string(path).compare(0, compat.size(), compat) == 0;
}

// What a program says of a transfer that a stall or an unplug ended:
// libusb-0.1.12 reports both as 0 bytes moved, of `wanted`; libusb-compat
// tells them apart. Without `wanted`, the words before the count.
inline std::string brokenTransfer(bool compat, emu::TransferFault kind, int wanted = -1)
{
    if (compat)
        return kind == emu::TransferFault::Stall ? "the panel stalled the transfer" : "the panel was unplugged";
    return "nothing moved: the panel stalled the transfer or was unplugged" +
           (wanted >= 0 ? " (0 of " + std::to_string(wanted) + " bytes)" : std::string());
}
inline std::string brokenTransfer(emu::TransferFault kind, int wanted = -1)
{
    return brokenTransfer(underCompat(), kind, wanted);
}

// What the programs say of a user who may not open the panel's node.
const std::string kNoAccessCause =
    "the panel (USB 15a2:0040) is connected, but this user may not open it: install the udev rule and join "
    "group plugdev, or log in at the machine, or run as root";

// A folder of its own per test, removed afterwards.
class Scratch {
public:
    Scratch()
    {
        char tmpl[] = "/tmp/panel-test-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch()
    {
        nftw(dir.c_str(), [](const char *p, const struct stat *, int, FTW *) { return std::remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    void write(const std::string &name, const std::string &text) const { srec::writeText(path(name), text); }
    void write(const std::string &name, const Bytes &bytes) const
    {
        srec::writeText(path(name), std::string(bytes.begin(), bytes.end()));
    }

    std::string dir;
};

// The payloads of the frames the host sent, in order.
inline std::vector<Bytes> hostFrames(const emu::PanelModel &model)
{
    std::vector<Bytes> out;
    for (const auto &f : model.frames())
        if (f.fromHost)
            out.push_back(f.payload);
    return out;
}

// OUT transfers are counted from 1 and a frame takes two: its header, then
// its payload. Frame i counts from 0 (a program's first frame is its ping).
inline int headerOut(int frame) { return 2 * frame + 1; }
inline int payloadOut(int frame) { return 2 * frame + 2; }

inline std::vector<emu::WireEntry> transfersAfter(const std::vector<emu::WireEntry> &wire,
                                                  const std::string &failedOutcome)
{
    std::vector<emu::WireEntry> after;
    bool seen = false;
    for (const auto &e : wire) {
        if (seen && (e.op == "OUT" || e.op == "IN"))
            after.push_back(e);
        seen = seen || e.outcome == failedOutcome;
    }
    return after;
}

// The names in a folder, sorted; none when it cannot be read.
inline std::vector<std::string> namesIn(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A file system of `size` bytes ("48k") of the test's own at `dir`, which it
// makes: a tmpfs, in a mount namespace of this process that the programs
// it runs share. Needs root and a process of one thread (a fresh test's);
// false, with errno, when it cannot be made.
inline bool mountSmallFileSystem(const std::string &dir, const std::string &size)
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) &&
           mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

// A whole file's bytes; empty when it cannot be read.
inline std::string slurp(const std::string &path)
{
    std::string text;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[1 << 16];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// `text` as one word for the shell, whatever bytes it holds.
inline std::string shellWord(const std::string &text)
{
    std::string word = "'";
    for (char c : text)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

// sha256sum's reading of a file, apart from panel_tool's own hash.
inline std::string sha256sum(const std::string &path)
{
    std::string digest;
    if (std::FILE *p = popen(("sha256sum -- " + shellWord(path)).c_str(), "r")) {
        char text[80] = {};
        // A name with a line end or a backslash in it is escaped, and its
        // line marked with a backslash first.
        if (std::fgets(text, sizeof text, p) != nullptr)
            digest.assign(text + (text[0] == '\\' ? 1 : 0), 64);
        pclose(p);
    }
    return digest;
}

// sha256sum's hash of bytes.
inline std::string sha256Of(const Bytes &bytes)
{
    char name[] = "/tmp/panel-hash-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return "";
    const bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    const std::string digest = written ? sha256sum(name) : "";
    std::remove(name);
    return digest;
}

// A text field of a record: its exact bytes, from KEY_hex where the tools
// gave them (a text that is not UTF-8), else the text itself.
inline std::string textOf(const nlohmann::json &record, const std::string &key)
{
    if (!record.contains(key + "_hex"))
        return record.contains(key) && record[key].is_string() ? record[key].get<std::string>() : "";
    const std::string hex = record[key + "_hex"].get<std::string>();
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

inline Bytes page(const Bytes &memory, std::size_t index)
{
    return Bytes(memory.begin() + index * 256, memory.begin() + (index + 1) * 256);
}

inline Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace testing_support
