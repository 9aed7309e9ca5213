#include "panel_view/page.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

namespace {

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string printed(const char *format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string element(const char *tag, const std::string &cls, const std::string &html)
{
    return std::string("<") + tag + (cls.empty() ? "" : " class=\"" + cls + "\"") + ">" + html + "</" + tag + ">";
}

// "10:02:13" of "2026-12-09T10:02:13Z": the day is today's, mostly.
std::string clockOf(const std::string &utc)
{
    return utc.size() >= 19 ? utc.substr(11, 8) + " UTC" : utc;
}

std::string fileNamed(const LiveBench &bench, const std::string &kind)
{
    for (const LiveFile &f : bench.files)
        if (f.kind == kind)
            return std::filesystem::path(f.file).filename().string();
    return kind;
}

// What the socket's service is doing: the file, the phase, how far, the
// time the phase has left.
std::string progressOf(const LiveBench &bench, const LiveSocket &s)
{
    if (s.step.empty())
        return element("p", "phase", "starting");
    std::string html = element("p", "file", escaped(s.step) + ": " + escaped(fileNamed(bench, s.step)));
    if (s.phase.empty() || s.total == 0)
        return html + element("p", "phase", "starting");
    const unsigned percent = static_cast<unsigned>(100.0 * s.done / s.total);
    std::string left = "";
    if (s.done > 0 && s.done < s.total)
        left = ", " + printed("%.0f", std::ceil(s.phaseSeconds * (s.total - s.done) / s.done)) + " s left";
    return html +
           element("p", "phase",
                   escaped(s.phase) + " " + std::to_string(s.done) + "/" + std::to_string(s.total) + " pages, " +
                       std::to_string(percent) + " %" + left) +
           "<progress max=\"" + std::to_string(s.total) + "\" value=\"" + std::to_string(s.done) + "\">" +
           std::to_string(percent) + " %</progress>";
}

// How its last service ended: when, in how long, and, for a failure, the
// step, the cause and what to do.
std::string endOf(const LiveSocket &s)
{
    if (s.result.empty())
        return "";
    std::string html = element("p", "ended", "ended " + escaped(clockOf(s.ended)) + ", in " +
                                                  printed("%.1f", s.seconds) + " s");
    if (s.result != "failed" && s.result != "mismatch")
        return html;
    html += element("p", "cause", "at " + escaped(s.step) + ": " + escaped(s.cause));
    return html + (s.replugMayCure ? element("p", "cure", "Plug it in again to try again: this may cure it.")
                                   : element("p", "cure permanent",
                                             "Plugging it in again will not cure this: set the panel aside."));
}

std::string wordsOf(const LiveSocket &s)
{
    if (s.state == "waiting")
        return "plugged in, waiting its turn";
    if (s.state == "ignored")
        return "not one of the bench's ports: ignored";
    if (s.state == "already held")
        return "already held: nothing written";
    if (s.state == "written")
        return "written (not verified)";
    if (s.state == "mismatch")
        return "failed: the panel does not hold the file";
    return s.state;
}

std::string tile(const LiveBench &bench, const LiveSocket &s)
{
    // The class of a state the page knows; any other state, as a word only.
    static const std::map<std::string, const char *> kClasses = {
        {"empty", "empty"},       {"waiting", "waiting"}, {"in service", "service"}, {"verified", "verified"},
        {"already held", "held"}, {"written", "written"}, {"mismatch", "mismatch"},  {"failed", "failed"},
        {"ignored", "ignored"}};
    const auto known = kClasses.find(s.state);
    const std::string cls = std::string("tile state-") + (known != kClasses.end() ? known->second : "unknown");
    std::string html = element("h2", "", element("span", "port", "port " + escaped(s.port)) +
                                             (s.label.empty() ? "" : " " + element("span", "label", escaped(s.label))));
    html += element("p", "state", escaped(wordsOf(s)));
    if (s.state == "in service")
        html += progressOf(bench, s);
    else if (s.state == "empty" && !s.result.empty())
        html += element("p", "last", "last: " + escaped(s.result)) + endOf(s);
    else if (s.state != "waiting" && s.state != "ignored")
        html += endOf(s);
    return "<section class=\"" + cls + "\" data-port=\"" + escaped(s.port) + "\">" + html + "</section>";
}

std::string header(const ViewState &v)
{
    std::string files;
    for (const LiveFile &f : v.bench.files)
        files += element("li", "", escaped(f.kind) + ": " + escaped(std::filesystem::path(f.file).filename().string()) +
                                       " <code title=\"" + escaped(f.sha256) + "\">" +
                                       escaped(f.sha256.substr(0, 12)) + "</code>" +
                                       (f.signer.empty() ? std::string()
                                                         : ", signed by key <code title=\"" +
                                                               escaped(f.trustedComment) + "\">" + escaped(f.signer) +
                                                               "</code>"));
    std::string html = element("h1", "", "Bench " + escaped(v.bench.station.empty() ? "?" : v.bench.station));
    html += element("ul", "files", files);
    html += element("p", "counts",
                    "Since midnight: " + std::to_string(v.today.serviced) + " serviced, " +
                        std::to_string(v.today.verified) + " verified, " + std::to_string(v.today.failed) +
                        " failed" + (v.running ? "; running for " + escaped(v.runningFor) : ""));
    return "<header>" + html + "</header>";
}

std::string banners(const ViewState &v)
{
    std::string html;
    if (!v.running)
        html += element("p", "banner",
                        v.live && !v.bench.updated.empty()
                            ? "The bench is not running (last heard of at " + escaped(clockOf(v.bench.updated)) + ")."
                            : "The bench is not running.");
    if (!v.recordRead)
        html += element("p", "banner", "The record cannot be read: " + escaped(v.recordError));
    return html;
}

std::string historyTable(const ViewState &v)
{
    std::string rows;
    for (auto row = v.history.rbegin(); row != v.history.rend(); ++row) {
        const double seconds = (*row)["seconds"].is_number() ? (*row)["seconds"].get<double>() : 0.0;
        rows += "<tr>" + element("td", "", escaped(textIn(*row, "time"))) +
                element("td", "", escaped(textIn(*row, "port"))) +
                element("td", "result", escaped(textIn(*row, "result"))) +
                element("td", "number", printed("%.1f", seconds)) + element("td", "", escaped(textIn(*row, "cause"))) +
                "</tr>";
    }
    return "<section class=\"history\"><h2>Last services</h2>"
           "<p>The whole history: <a href=\"history.csv\">CSV</a>, <a href=\"history.json\">JSON</a> "
           "(<code>?port=</code>, <code>since=</code>, <code>result=</code> choose rows).</p>"
           "<table><thead><tr><th>Time (UTC)</th><th>Port</th><th>Result</th><th>Seconds</th><th>Cause</th></tr>"
           "</thead><tbody>" +
           rows + "</tbody></table></section>";
}

} // namespace

std::string pageBody(const ViewState &v)
{
    std::string tiles;
    for (const LiveSocket &s : v.bench.sockets)
        tiles += tile(v.bench, s);
    if (tiles.empty())
        tiles = element("p", "none", "No socket has had a panel yet.");
    return banners(v) + header(v) + "<section class=\"tiles\">" + tiles + "</section>" + historyTable(v);
}

std::string wholePage(const std::string &body)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>Panel bench</title><link rel=\"icon\" href=\"favicon.svg\"><link rel=\"stylesheet\" href=\"view.css\">"
           "<script src=\"view.js\" defer></script></head><body><main id=\"bench\">" +
           body + "</main><p id=\"connection\" class=\"banner\" hidden>The page has lost the view; it reconnects by "
                  "itself.</p></body></html>\n";
}
