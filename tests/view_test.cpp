// panel_view beside a real bench on emulated panels: seen in Debian's
// chromium as a person at the bench sees it (tests/browser/view_check.mjs
// judges the page), and attacked with what a hostile page or client on
// the network could send while a panel is serviced.
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sqlite3.h>

#include "tests/watch_fixture.h"

using namespace testing_support;

namespace {

const std::string kTool = PANEL_TOOL_PATH;
const std::string kBrowserCheck = std::string(PANEL_SOURCE_DIR) + "/tests/browser/view_check.mjs";

// A port no one listens on, for the view.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What the view answers to `request`, sent as it is: the status line, the
// headers and the body, as they came.
std::string askView(int port, const std::string &request)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return "";
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return reply;
}

std::string get(int port, const std::string &path, const std::string &host = "")
{
    return askView(port, "GET " + path + " HTTP/1.1\r\nHost: " +
                              (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
                              "\r\nConnection: close\r\n\r\n");
}

int statusOf(const std::string &reply)
{
    return reply.size() > 12 && reply.rfind("HTTP/1.", 0) == 0 ? std::stoi(reply.substr(9, 3)) : 0;
}

class View : public Watch {
protected:
    // The view of the bench in the scratch folder, on `port`.
    std::unique_ptr<BenchRun> view(int port)
    {
        auto run = std::make_unique<BenchRun>(
            std::vector<std::string>{"--record", "bench.sqlite", "--live", "live.json", "--listen",
                                     "127.0.0.1:" + std::to_string(port)},
            scratch.dir, false, std::vector<std::string>{}, std::vector<std::string>{}, PANEL_VIEW_PATH);
        EXPECT_TRUE(eventually([port] { return statusOf(get(port, "/")) == 200; })) << "the view did not start";
        return run;
    }
    // The bench's configuration; its firmware signed by the shop's key,
    // which it trusts.
    void configure(const std::vector<std::string> &lines)
    {
        shop = makeSigningKey(scratch.dir, "shop", scratch.path("keys"));
        signFile(shop, scratch.path("fw.s19"), "for the view");
        std::string text = "firmware = fw.s19\nrecord = bench.sqlite\nlive = live.json\ntrusted_keys = keys\n";
        for (const std::string &line : lines)
            text += line + "\n";
        scratch.write("bench.conf", text);
    }
    // The seconds of each service the record holds, in order.
    std::vector<double> serviceSeconds()
    {
        std::vector<double> seconds;
        sqlite3 *db = nullptr;
        sqlite3_open_v2(scratch.path("bench.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(db, "SELECT seconds FROM services ORDER BY id", -1, &s, nullptr);
        while (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
            seconds.push_back(sqlite3_column_double(s, 0));
        sqlite3_finalize(s);
        sqlite3_close(db);
        return seconds;
    }
    SigningKey shop;
};

TEST_F(View, ShowsEverySocketLiveInARealBrowser)
{
    if (access("/usr/bin/chromium", X_OK) != 0 ||
        access((std::string(PANEL_SOURCE_DIR) + "/tests/browser/node_modules/playwright-core").c_str(), F_OK) != 0)
        GTEST_SKIP() << "needs Debian's chromium and playwright-core (npm ci --prefix tests/browser), "
                        "which .ci/run installs";
    // Four panels at a real panel's pace: one that already holds the
    // firmware, there from the start; then, once the browser watches, one
    // to flash, one with a worn flash page, and one in a port that is not
    // the bench's. The bus numbers its ports as panels are added.
    auto bus = panels(realPace());
    ASSERT_EQ(runOn(*bus, kTool, {"flash", "fw.s19"}).run.exitStatus, 0);
    emu::ModelFaults worn = realPace();
    worn.wornFlashPage = 66;
    const std::string held = bus->panelPort(0);
    auto nextPort = [&held](int n) { return held.substr(0, held.rfind('-') + 1) + std::to_string(1 + n); };
    const std::string fresh = nextPort(1), wornPort = nextPort(2), other = nextPort(3);
    configure({"ports = " + fresh + "," + held + "," + wornPort, "label " + fresh + " = left socket",
               "label " + wornPort + " = right socket"});
    const int port = freePort();
    auto bench = std::make_unique<BenchRun>(std::vector<std::string>{"watch", "--config", "bench.conf"}, scratch.dir);
    const auto viewer = view(port);
    const nlohmann::json expected = {
        {"ports",
         {{fresh, {{"state", "verified"}, {"label", "left socket"}}},
          {held, {{"state", "already held"}}},
          {wornPort,
           {{"state", "mismatch"},
            {"label", "right socket"},
            {"cause", "at firmware: mismatch: flash page 66 differs first"},
            {"cure", "Plugging it in again will not cure this"}}}}},
        {"ignored", other}};
    BenchRun browser({kBrowserCheck, "http://127.0.0.1:" + std::to_string(port) + "/", scratch.path("live.json"),
                      scratch.path("bench.sqlite"), kTool, std::string(PANEL_BUILD_DIR) + "/view.png",
                      expected.dump()},
                     std::string(PANEL_SOURCE_DIR) + "/tests/browser", false, {}, {}, "/usr/bin/node");
    // Chromium takes its time to start under load, and is started again
    // when it starts wedged (view_check.mjs).
    ASSERT_TRUE(browser.sees("WATCHING", 1, std::chrono::seconds(240)));
    plugIn(*bus, realPace());
    plugIn(*bus, worn);
    plugIn(*bus, realPace());
    ASSERT_EQ(bus->panelPort(1) + " " + bus->panelPort(2) + " " + bus->panelPort(3),
              fresh + " " + wornPort + " " + other);
    // Killed outright, the bench cannot say it stopped: its state, no
    // longer renewed, says so.
    ASSERT_TRUE(browser.sees("STOP-BENCH"));
    bench->signal(SIGKILL);
    bench->end();
    ASSERT_TRUE(browser.sees("START-BENCH"));
    bench = std::make_unique<BenchRun>(std::vector<std::string>{"watch", "--config", "bench.conf"}, scratch.dir);
    const emu::ProgramRun judged = browser.end();
    EXPECT_EQ(judged.exitStatus, 0) << judged.out << judged.err;
    EXPECT_NE(judged.out.find("RESULT ok"), std::string::npos) << judged.out;
    const std::size_t changes = judged.out.find("CHANGES ");
    if (changes != std::string::npos)
        RecordProperty("changes", judged.out.substr(changes + 8, judged.out.find('\n', changes) - changes - 8));
    // Stopped, the bench says so itself (the worn panel, serviced again
    // by the new bench, failed again).
    bench->signal(SIGINT);
    EXPECT_EQ(bench->end().exitStatus, 1);
    EXPECT_NE(slurp(scratch.path("live.json")).find("\"running\":false"), std::string::npos);
    viewer->signal(SIGTERM);
    EXPECT_EQ(viewer->end().exitStatus, 0);
}

TEST_F(View, RefusesAnythingButALookAtTheBenchWhileItServices)
{
    // A larger firmware at a real panel's pace, so that the attack lasts
    // through a whole service; the first service is the measure of the
    // second's time.
    scratch.write("fw.s19", samples::firmware(0x4000, 0xBFFF, 61));
    auto bus = panels(realPace());
    configure({});
    const int port = freePort();
    BenchRun bench({"watch", "--config", "bench.conf"}, scratch.dir);
    const auto viewer = view(port);
    ASSERT_TRUE(bench.sees(": done"));
    plugIn(*bus, realPace());
    ASSERT_TRUE(eventually([this] { return slurp(scratch.path("live.json")).find("\"in service\"") != std::string::npos; }));

    const std::string page = get(port, "/");
    EXPECT_EQ(statusOf(page), 200);
    for (const char *header : {"Content-Security-Policy: default-src 'none'; script-src 'self'",
                               "X-Content-Type-Options: nosniff", "Cache-Control: no-store"})
        EXPECT_NE(page.find(header), std::string::npos) << header;
    EXPECT_EQ(page.find("Access-Control-"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos) << "no inline script";
    // The firmware's signer, its trusted comment on hovering.
    const std::string signer = ", signed by key <code title=\"for the view\">" + shop.id + "</code>";
    EXPECT_TRUE(eventually([&] { return get(port, "/").find(signer) != std::string::npos; })) << get(port, "/");

    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const char *method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
        const std::string reply =
            askView(port, std::string(method) + " / HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc");
        EXPECT_EQ(statusOf(reply), 405) << method;
        EXPECT_NE(reply.find("Allow: GET, HEAD"), std::string::npos) << method;
    }
    EXPECT_EQ(statusOf(askView(port, "HEAD / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n")), 200);
    for (const std::string &foreign : std::vector<std::string>{"evil.example", "evil.example:" + std::to_string(port), "127.0.0.1:1",
                                      "localhost.evil.example:" + std::to_string(port)})
        EXPECT_EQ(statusOf(get(port, "/", foreign)), 421) << foreign;
    EXPECT_EQ(statusOf(get(port, "/", "localhost:" + std::to_string(port))), 200);
    for (const char *path : {"/../etc/passwd", "/%2e%2e/etc/passwd", "/..%2fetc%2fpasswd", "/view.js/../../etc/passwd",
                             "//etc/passwd", "/%2e%2e%2f%2e%2e%2fetc%2fpasswd", "/page/view.js", "/CMakeLists.txt",
                             "/bench.sqlite", "/live.json"}) {
        const std::string reply = get(port, path);
        EXPECT_EQ(statusOf(reply), 404) << path;
        EXPECT_EQ(reply.find("root:"), std::string::npos) << path;
    }
    const std::string huge = askView(port, "GET / HTTP/1.1\r\n" + host + "Cookie: " + std::string(64 * 1024, 'a') +
                                                "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(statusOf(huge), 431) << huge.substr(0, 200);
    for (const char *query : {"?since=yesterday", "?foo=1", "?port=1-1&port=1-2", "?result=maybe", "?port=%3Cscript%3E"}) {
        const std::string reply = get(port, std::string("/history.json") + query);
        EXPECT_EQ(statusOf(reply), 400) << query;
        EXPECT_EQ(std::count(reply.begin() + static_cast<long>(reply.find("\r\n\r\n") + 4), reply.end(), '\n'), 1)
            << "one line: " << reply;
    }
    EXPECT_EQ(statusOf(get(port, "/history.csv?since=2026-01-01&result=verified")), 200);

    // Idle connections by the hundred: the page still loads, at once.
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i)
        idle.push_back(connectTo(port));
    EXPECT_EQ(std::count(idle.begin(), idle.end(), -1), 0);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(statusOf(get(port, "/")), 200);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
    for (int fd : idle)
        close(fd);

    ASSERT_TRUE(bench.sees(": done", 2));
    bench.signal(SIGINT);
    EXPECT_EQ(bench.end().exitStatus, 0);
    const std::vector<double> seconds = serviceSeconds();
    ASSERT_EQ(seconds.size(), 2u);
    EXPECT_LT(seconds[1], seconds[0] * 1.25) << "a service under attack took " << seconds[1] << " s, one before it "
                                              << seconds[0] << " s";
    viewer->signal(SIGTERM);
    EXPECT_EQ(viewer->end().exitStatus, 0);
}

} // namespace
