// The view's HTTP server (libmicrohttpd): one page about the bench, its
// files, its live updates (Server-Sent Events) and its history as CSV and
// JSON. Read-only: GET and HEAD only, nothing from a request ever reaches
// the file system (the page's files are compiled in), a Host that names
// neither where it listens nor this host is refused (DNS rebinding), no
// CORS, a strict Content-Security-Policy; bounded connections, live
// streams, request sizes and idle time.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "panel_view/bench_watch.h"

struct MHD_Daemon;
struct MHD_Connection;

class ViewServer {
public:
    explicit ViewServer(BenchWatch &watch) : watch(watch) {}
    ~ViewServer() { stop(); }
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    // Serves on each listening socket in `sockets`; false, with `error`.
    bool start(const std::vector<int> &sockets, std::string &error);
    // The bench changed, or a live stream is due a keep-alive: every live
    // stream waiting is woken.
    void wake();
    void stop();

    // Live streams at once, at most; more get 503.
    static constexpr int kLiveStreams = 32;

    struct Stream;

private:
    friend struct Handlers;
    std::vector<MHD_Daemon *> daemons;
    BenchWatch &watch;
    std::mutex lock;                           // over `waiting`
    std::vector<MHD_Connection *> waiting;     // live streams suspended until the bench changes
    std::atomic<int> streams{0};
    std::atomic<bool> stopping{false};
};
