#include "panel_view/view_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <map>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/history.h"
#include "panel_view/assets.h"
#include "panel_view/page.h"

namespace {

using Clock = std::chrono::steady_clock;

// Only what the page itself loads, from here; nothing inline, nothing
// from elsewhere, and no page may frame it.
constexpr const char *kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A live stream that has sent nothing for this long sends a comment, so
// that a stream whose browser has gone is found out and closed.
constexpr auto kKeepAlive = std::chrono::seconds(15);

MHD_Response *responseOf(const std::string &body, const char *type)
{
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(r, "Content-Type", type);
    return r;
}

MHD_Result send(MHD_Connection *c, unsigned status, MHD_Response *r)
{
    MHD_add_response_header(r, "Content-Security-Policy", kPolicy);
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    const MHD_Result queued = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return queued;
}

// A refusal: its status and one line that says why, and what to do.
MHD_Result refuse(MHD_Connection *c, unsigned status, const std::string &why)
{
    MHD_Response *r = responseOf(why + "\n", "text/plain; charset=utf-8");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(r, "Allow", "GET, HEAD");
    return send(c, status, r);
}

// The address the browser reached, as a Host header names it:
// "127.0.0.1:8470", "[::1]:8470"; and whether it is this machine's own
// loopback.
std::string reachedAt(MHD_Connection *c, std::string &port, bool &loopback)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    char text[INET6_ADDRSTRLEN] = {};
    if (info == nullptr || getsockname(info->connect_fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return "";
    if (local.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&local);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = std::to_string(ntohs(in->sin_port));
        loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
        return text;
    }
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&local);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = std::to_string(ntohs(in6->sin6_port));
    loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    return std::string("[") + text + "]";
}

// A Host that names where the browser reached the view, or this host by
// its name; a page of another name that resolves here (DNS rebinding) is
// refused.
bool hostAllowed(MHD_Connection *c)
{
    const char *given = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host");
    if (given == nullptr)
        return false;
    std::string port;
    bool loopback = false;
    const std::string address = reachedAt(c, port, loopback);
    const std::string host = given;
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    for (const std::string &allowed : {address, std::string(name), std::string(loopback ? "localhost" : "")})
        if (!allowed.empty() && (host == allowed + ":" + port || (port == "80" && host == allowed)))
            return true;
    return false;
}

// History's filters, as `panel_tool history` takes them; false, with
// `why`, for any other parameter or a value it would refuse.
bool historyQueryOf(MHD_Connection *c, HistoryQuery &query, std::string &why)
{
    std::multimap<std::string, std::string> given;
    MHD_get_connection_values(
        c, MHD_GET_ARGUMENT_KIND,
        [](void *cls, MHD_ValueKind, const char *key, const char *value) {
            static_cast<std::multimap<std::string, std::string> *>(cls)->emplace(key, value != nullptr ? value : "");
            return MHD_YES;
        },
        &given);
    for (const auto &[key, value] : given) {
        if (given.count(key) > 1) {
            why = "give '" + key + "' once";
            return false;
        }
        if (key == "port" && !value.empty() && value.size() <= 64 &&
            value.find_first_not_of("0123456789.-") == std::string::npos) {
            query.port = value;
        } else if (key == "since" && recordedTime(value, query.since)) {
        } else if (key == "result" &&
                   (value == "verified" || value == "written" || value == "mismatch" || value == "failed")) {
            query.result = value;
        } else {
            why = key == "port"     ? "port takes a port as panel_tool list shows it (1-1.4)"
                  : key == "since"  ? "since takes a UTC time, 2026-12-08 or 2026-12-08T09:30:00Z"
                  : key == "result" ? "result takes verified, written, mismatch or failed"
                                    : "unknown parameter '" + key + "': history takes port, since and result";
            return false;
        }
    }
    return true;
}

} // namespace

struct ViewServer::Stream {
    ViewServer *server;
    MHD_Connection *connection;
    uint64_t sent = 0;  // the number of the body last sent
    std::string pending;
    std::size_t at = 0;
    Clock::time_point wrote = Clock::now();
};

struct Handlers {
    // The next bytes of a live stream: the body when it changed since it
    // was last sent, a keep-alive when due; else the stream waits,
    // suspended, until the bench changes. The body is read and the stream
    // suspended under the lock wake() takes, so that a change drawn in
    // between wakes it rather than waiting for the next.
    static ssize_t readStream(void *cls, uint64_t, char *buffer, size_t most)
    {
        ViewServer::Stream &s = *static_cast<ViewServer::Stream *>(cls);
        ViewServer &view = *s.server;
        if (view.stopping)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (s.at == s.pending.size()) {
            s.pending.clear();
            s.at = 0;
            std::lock_guard<std::mutex> guard(view.lock);
            const BenchWatch::Body body = view.watch.body();
            if (body.html && body.number != s.sent) {
                s.pending = std::string(s.sent == 0 ? "retry: 1000\n" : "") + "event: bench\ndata: " +
                            Json(*body.html).dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
                s.sent = body.number;
            } else if (Clock::now() - s.wrote >= kKeepAlive) {
                s.pending = ": still here\n\n";
            } else {
                MHD_suspend_connection(s.connection);
                view.waiting.push_back(s.connection);
                return 0;
            }
        }
        const std::size_t n = std::min(most, s.pending.size() - s.at);
        std::memcpy(buffer, s.pending.data() + s.at, n);
        s.at += n;
        s.wrote = Clock::now();
        return static_cast<ssize_t>(n);
    }

    static void endStream(void *cls)
    {
        auto *s = static_cast<ViewServer::Stream *>(cls);
        --s->server->streams;
        delete s;
    }

    static MHD_Result liveStream(ViewServer &view, MHD_Connection *c)
    {
        if (++view.streams > ViewServer::kLiveStreams) {
            --view.streams;
            return refuse(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many live pages open at once: close one and reload");
        }
        auto *stream = new ViewServer::Stream{&view, c, 0, {}, 0, Clock::now()};
        MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, readStream, stream, endStream);
        MHD_add_response_header(r, "Content-Type", "text/event-stream; charset=utf-8");
        return send(c, MHD_HTTP_OK, r);
    }

    static MHD_Result history(ViewServer &view, MHD_Connection *c, bool csv)
    {
        HistoryQuery query;
        std::string why;
        if (!historyQueryOf(c, query, why))
            return refuse(c, MHD_HTTP_BAD_REQUEST, why);
        std::vector<std::string> columns;
        std::vector<Json> rows;
        if (!readHistory(view.watch.record(), query, columns, rows, why))
            return refuse(c, MHD_HTTP_SERVICE_UNAVAILABLE, "cannot read " + why);
        MHD_Response *r = csv ? responseOf(historyCsv(columns, rows), "text/csv; charset=utf-8")
                              : responseOf(historyJson(rows), "application/json");
        if (csv)
            MHD_add_response_header(r, "Content-Disposition", "attachment; filename=\"history.csv\"");
        return send(c, MHD_HTTP_OK, r);
    }

    static MHD_Result answer(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                             const char *, size_t *, void **)
    {
        ViewServer &view = *static_cast<ViewServer *>(cls);
        if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
            return refuse(c, MHD_HTTP_METHOD_NOT_ALLOWED, "the view only shows the bench: GET and HEAD only");
        if (!hostAllowed(c))
            return refuse(c, MHD_HTTP_MISDIRECTED_REQUEST,
                          "this view answers to the address it listens on and to this host's name only");
        const std::string path = url;
        if (path == "/" || path == "/index.html")
            return send(c, MHD_HTTP_OK,
                        responseOf(wholePage(*view.watch.body().html), "text/html; charset=utf-8"));
        if (path == "/events")
            return liveStream(view, c);
        if (path == "/history.csv" || path == "/history.json")
            return history(view, c, path == "/history.csv");
        for (std::size_t i = 0; i < kAssetCount; ++i)
            if (path == kAssets[i].path)
                return send(c, MHD_HTTP_OK, responseOf(kAssets[i].text, kAssets[i].type));
        return refuse(c, MHD_HTTP_NOT_FOUND, "no such page: the bench is at /");
    }
};

bool ViewServer::start(const std::vector<int> &sockets, std::string &error)
{
    for (int fd : sockets) {
        MHD_Daemon *d = MHD_start_daemon(
            MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, Handlers::answer, this,
            MHD_OPTION_LISTEN_SOCKET, fd,
            // Idle connections end soon, and there can be many: a browser
            // keeps a few; a client that opens hundreds waits its turn.
            MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(1000), MHD_OPTION_CONNECTION_TIMEOUT,
            static_cast<unsigned>(10),
            // A request's headers fit in this, or it is refused.
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(32 * 1024), MHD_OPTION_END);
        if (d == nullptr) {
            error = "cannot serve on its socket";
            stop();
            return false;
        }
        daemons.push_back(d);
    }
    return true;
}

void ViewServer::wake()
{
    std::lock_guard<std::mutex> guard(lock);
    for (MHD_Connection *c : waiting)
        MHD_resume_connection(c);
    waiting.clear();
}

void ViewServer::stop()
{
    stopping = true;
    wake();
    for (MHD_Daemon *d : daemons)
        MHD_stop_daemon(d);
    daemons.clear();
}
