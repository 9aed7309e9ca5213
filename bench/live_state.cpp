#include "bench/live_state.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "panel_service/write_all.h"

namespace {

// What the view reads is bounded: a bench of 64 sockets fits many times.
constexpr long kLongestState = 1 << 20;

uint32_t countIn(const Json &json, const char *key)
{
    const auto n = json.find(key);
    return n != json.end() && n->is_number_unsigned() ? n->get<uint32_t>() : 0u;
}

double secondsIn(const Json &json, const char *key)
{
    const auto n = json.find(key);
    return n != json.end() && n->is_number() ? n->get<double>() : 0.0;
}

bool truthIn(const Json &json, const char *key, bool otherwise)
{
    const auto b = json.find(key);
    return b != json.end() && b->is_boolean() ? b->get<bool>() : otherwise;
}

Json socketJson(const LiveSocket &s)
{
    Json j = Json::object();
    putText(j, "port", s.port);
    putText(j, "label", s.label);
    j["state"] = s.state;
    putText(j, "step", s.step);
    j["phase"] = s.phase;
    j["done"] = s.done;
    j["total"] = s.total;
    j["phase_seconds"] = s.phaseSeconds;
    j["result"] = s.result;
    j["ended"] = s.ended;
    j["seconds"] = s.seconds;
    putText(j, "cause", s.cause);
    j["replug_may_cure"] = s.replugMayCure;
    return j;
}

LiveSocket socketOf(const Json &j)
{
    LiveSocket s;
    s.port = textIn(j, "port");
    s.label = textIn(j, "label");
    s.state = textIn(j, "state");
    s.step = textIn(j, "step");
    s.phase = textIn(j, "phase");
    s.done = countIn(j, "done");
    s.total = countIn(j, "total");
    s.phaseSeconds = secondsIn(j, "phase_seconds");
    s.result = textIn(j, "result");
    s.ended = textIn(j, "ended");
    s.seconds = secondsIn(j, "seconds");
    s.cause = textIn(j, "cause");
    s.replugMayCure = truthIn(j, "replug_may_cure", false);
    return s;
}

} // namespace

void to_json(Json &json, const LiveBench &b)
{
    json = Json::object();
    putText(json, "station", b.station);
    json["started"] = b.started;
    json["updated"] = b.updated;
    json["running"] = b.running;
    json["verify"] = b.verify;
    json["files"] = Json::array();
    for (const LiveFile &f : b.files) {
        Json file = {{"kind", f.kind}};
        putText(file, "file", f.file);
        file["sha256"] = f.sha256;
        putTextOrNull(file, "signer", f.signer);
        putTextOrNull(file, "trusted_comment", f.trustedComment);
        json["files"].push_back(file);
    }
    json["ports"] = Json::array();
    for (const std::string &port : b.ports)
        json["ports"].push_back(port);
    json["sockets"] = Json::array();
    for (const LiveSocket &s : b.sockets)
        json["sockets"].push_back(socketJson(s));
}

void from_json(const Json &json, LiveBench &b)
{
    b = LiveBench{};
    b.station = textIn(json, "station");
    b.started = textIn(json, "started");
    b.updated = textIn(json, "updated");
    b.running = truthIn(json, "running", false);
    b.verify = truthIn(json, "verify", true);
    for (const char *list : {"files", "ports", "sockets"})
        if (!json.contains(list) || !json[list].is_array())
            return;
    for (const Json &f : json["files"])
        if (f.is_object())
            b.files.push_back(LiveFile{textIn(f, "kind"), textIn(f, "file"), textIn(f, "sha256"), textIn(f, "signer"),
                                          textIn(f, "trusted_comment")});
    for (const Json &p : json["ports"])
        if (p.is_string())
            b.ports.push_back(p.get<std::string>());
    for (const Json &s : json["sockets"])
        if (s.is_object())
            b.sockets.push_back(socketOf(s));
}

bool publishLive(const std::string &path, const LiveBench &bench)
{
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0)
        return false;
    // Not synced: a state lives in the runtime folder, and a power cut
    // ends the bench it tells of.
    const bool written = writeAll(fd, oneLine(Json(bench)) + "\n");
    const int error = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        errno = !written ? error : errno;
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool readLive(const std::string &path, LiveBench &bench, double &age)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kLongestState) {
        text.resize(static_cast<std::size_t>(st.st_size));
        const ssize_t n = read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    close(fd);
    const Json json = Json::parse(text, nullptr, false);
    if (!json.is_object() || !json.contains("sockets"))
        return false;
    bench = json.get<LiveBench>();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    age = static_cast<double>(now.tv_sec - st.st_mtim.tv_sec) + (now.tv_nsec - st.st_mtim.tv_nsec) / 1e9;
    return true;
}
