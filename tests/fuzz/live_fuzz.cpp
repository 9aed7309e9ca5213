// The live state a bench publishes, as the view reads and draws it,
// fuzzed: whatever bytes the file holds, the view takes what it can and
// draws a page in which no text of the file becomes markup.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "bench/live_state.h"
#include "panel_view/page.h"

namespace {

// The tags the page itself draws; any other '<' came from the file.
bool ourMarkup(const std::string &html)
{
    static const std::set<std::string> kTags = {"p", "h1", "h2", "span", "section", "ul", "li", "code", "progress",
                                                "table", "thead", "tbody", "tr", "th", "td", "a", "header"};
    for (std::size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
        std::size_t from = at + 1 + (html.compare(at + 1, 1, "/") == 0 ? 1 : 0);
        const std::size_t end = html.find_first_of(" >", from);
        if (end == std::string::npos || kTags.count(html.substr(from, end - from)) == 0)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const Json json = Json::parse(data, data + size, nullptr, false);
    if (!json.is_object())
        return 0;
    ViewState state;
    state.live = state.running = true;
    state.bench = json.get<LiveBench>();
    state.recordRead = true;
    const std::string html = pageBody(state);
    if (!ourMarkup(html)) {
        std::fprintf(stderr, "invariant broken: the file's text became markup\n");
        std::abort();
    }
    return 0;
}
