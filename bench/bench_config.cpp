#include "bench/bench_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

namespace {

std::string trimmed(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool yesOrNo(const std::string &text, bool &value)
{
    if (text == "yes" || text == "no") {
        value = text == "yes";
        return true;
    }
    return false;
}

// What a watcher shows beside a socket: short, and nothing that moves a
// terminal or a page about.
bool labelFits(const std::string &label)
{
    return !label.empty() && label.size() <= 64 &&
           std::none_of(label.begin(), label.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

} // namespace

bool parsePorts(const std::string &text, std::vector<std::string> &ports)
{
    ports.clear();
    std::size_t from = 0;
    for (std::size_t comma;; from = comma + 1) {
        comma = text.find(',', from);
        const std::string port = trimmed(text.substr(from, comma == std::string::npos ? comma : comma - from));
        if (port.empty())
            return false;
        ports.push_back(port);
        if (comma == std::string::npos)
            return true;
    }
}

bool parseJobs(const std::string &text, unsigned &jobs)
{
    char *end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 1 || n > 64)
        return false;
    jobs = static_cast<unsigned>(n);
    return true;
}

bool readBenchConfig(const std::string &path, BenchOptions &options, std::string &error)
{
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the configuration " + path + ": " + std::strerror(errno);
        return false;
    }
    // What each key sets; false when its value will not do, with what it
    // takes.
    using Setter = std::function<bool(const std::string &, std::string &)>;
    auto text = [](std::string &field) {
        return Setter([&field](const std::string &value, std::string &) {
            field = value;
            return true;
        });
    };
    auto truth = [](bool &field) {
        return Setter([&field](const std::string &value, std::string &takes) {
            takes = "yes or no";
            return yesOrNo(value, field);
        });
    };
    const std::map<std::string, Setter> keys{
        {"firmware", text(options.firmware)},
        {"language", text(options.language)},
        {"drivers", text(options.drivers)},
        {"record", text(options.record)},
        {"log", text(options.log)},
        {"backup", text(options.backup)},
        {"live", text(options.live)},
        {"trusted_keys", text(options.trustedKeys)},
        {"require_signature", truth(options.requireSignature)},
        {"jobs", [&options](const std::string &v, std::string &takes) {
             takes = "a number from 1 to 64";
             return parseJobs(v, options.jobs);
         }},
        {"ports", [&options](const std::string &v, std::string &takes) {
             takes = "ports separated by commas, as panel_tool list shows them";
             return parsePorts(v, options.ports);
         }},
        {"verify", truth(options.verify)},
        {"full", truth(options.full)},
    };
    options.requireSignature = true;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = where + "not a setting (key = value): '" + line + "'";
            return false;
        }
        const std::string key = trimmed(line.substr(0, equals)), value = trimmed(line.substr(equals + 1));
        if (key.rfind("label ", 0) == 0) {
            const std::string port = trimmed(key.substr(6));
            if (!labelFits(value)) {
                error = where + "a label takes 1 to 64 printable characters, not '" + value + "'";
                return false;
            }
            options.labels[port] = value;
            continue;
        }
        const auto setter = keys.find(key);
        if (setter == keys.end()) {
            error = where + "unknown setting '" + key + "'";
            return false;
        }
        std::string takes;
        if (!setter->second(value, takes)) {
            error = where + key + " takes " + takes + ", not '" + value + "'";
            return false;
        }
    }
    if (options.firmware.empty()) {
        error = path + ": no firmware set (firmware = FILE.s19): the bench would service nothing";
        return false;
    }
    return true;
}
