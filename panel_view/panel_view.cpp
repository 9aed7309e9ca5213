#include "panel_view/panel_view.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#if defined(PANEL_HAVE_LIBSYSTEMD)
#include <systemd/sd-daemon.h>
#endif

#include "panel_view/bench_watch.h"
#include "panel_view/view_server.h"

namespace {

constexpr int kStopped = 0;
constexpr int kUsageError = 2;
constexpr int kCannotListen = 3;

constexpr const char *kProgram = "panel_view";

const char kUsage[] =
    "Usage: panel_view --record FILE [--live FILE] [--listen ADDR:PORT]...\n"
    "Serves one read-only page about a service bench: a tile per socket, live,\n"
    "and the last services from its record. Nobody can change anything through\n"
    "it; whoever reaches it sees the bench.\n"
    "\n"
    "  --record FILE       the bench's record (SQLite), opened read-only\n"
    "  --live FILE         the live state the bench publishes (watch --live)\n"
    "  --listen ADDR:PORT  where to serve, again for more than one (default:\n"
    "                      127.0.0.1:8470 and [::1]:8470, this machine only);\n"
    "                      a socket systemd passes is taken instead\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 stopped (SIGINT or SIGTERM), 2 a usage error, 3 it cannot\n"
    "listen where it was told to.\n";

struct Settings {
    std::string record;
    std::string live;
    std::vector<std::string> listen;
};

int usageError(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\nTry 'panel_view --help'.\n", kProgram, what.c_str());
    return kUsageError;
}

// Whether the run goes on with `settings`; when not, `status` is its exit
// status.
bool parseArguments(int argc, char **argv, Settings &settings, int &status)
{
    enum { kRecord = 256, kLive, kListen, kHelp, kVersion };
    static const option options[] = {
        {"record", required_argument, nullptr, kRecord}, {"live", required_argument, nullptr, kLive},
        {"listen", required_argument, nullptr, kListen}, {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},     {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (c) {
        case kRecord: settings.record = optarg; break;
        case kLive: settings.live = optarg; break;
        case kListen: settings.listen.push_back(optarg); break;
        case kHelp: std::fputs(kUsage, stdout); status = kStopped; return false;
        case kVersion: std::printf("panel_view %s\n", PANEL_VERSION); status = kStopped; return false;
        default: status = usageError(std::string("unknown option '") + argv[optind - 1] + "'"); return false;
        }
    }
    if (optind != argc)
        status = usageError(std::string("takes no operand: '") + argv[optind] + "'");
    else if (settings.record.empty())
        status = usageError("give --record FILE, the bench's record");
    else
        return true;
    return false;
}

// A socket listening on "ADDR:PORT" ("127.0.0.1:8470", "[::1]:8470");
// -1, with `why`, when it cannot be made.
int listenOn(const std::string &where, std::string &why)
{
    const std::size_t colon = where.rfind(':');
    std::string address = colon == std::string::npos ? "" : where.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : where.substr(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (address.empty() || port.empty() || getaddrinfo(address.c_str(), port.c_str(), &hints, &found) != 0) {
        why = "--listen takes ADDR:PORT (127.0.0.1:8470, [::1]:8470), not '" + where + "'";
        return -1;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (found->ai_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const bool listening = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 64) == 0;
    freeaddrinfo(found);
    if (!listening) {
        why = "cannot listen on " + where + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// The sockets systemd passed (socket activation); none otherwise.
std::vector<int> passedSockets()
{
    std::vector<int> fds;
#if defined(PANEL_HAVE_LIBSYSTEMD)
    const int n = sd_listen_fds(1);
    for (int i = 0; i < n; ++i)
        fds.push_back(SD_LISTEN_FDS_START + i);
#endif
    return fds;
}

} // namespace

int runPanelView(int argc, char **argv)
{
    Settings settings;
    int status = kStopped;
    if (!parseArguments(argc, argv, settings, status))
        return status;
    std::vector<int> sockets = passedSockets();
    if (sockets.empty()) {
        if (settings.listen.empty())
            settings.listen = {"127.0.0.1:8470", "[::1]:8470"};
        for (const std::string &where : settings.listen) {
            std::string why;
            const int fd = listenOn(where, why);
            if (fd < 0) {
                std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
                return why.rfind("--listen", 0) == 0 ? kUsageError : kCannotListen;
            }
            sockets.push_back(fd);
        }
    }
    // The signals that stop it are taken by sigtimedwait, which is also
    // the loop's pause; a browser gone mid-write is not one of them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    BenchWatch watch(settings.live, settings.record);
    watch.refresh();
    ViewServer server(watch);
    std::string why;
    if (!server.start(sockets, why)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return kCannotListen;
    }
    const timespec pause{0, std::chrono::nanoseconds(BenchWatch::kEvery).count()};
    for (unsigned tick = 1; sigtimedwait(&stops, nullptr, &pause) < 0; ++tick)
        if (watch.refresh() || tick % 25 == 0)  // and every 5 s, for the keep-alives
            server.wake();
    server.stop();
    return kStopped;
}
