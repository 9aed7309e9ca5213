#include "panel_tool/panel_tool.h"

#include <algorithm>
#include <cstdio>
#include <getopt.h>
#include <string>

#include "bench/bench_config.h"
#include "panel_tool/command_line.h"

namespace {

const char kUsage[] =
    "Usage: panel_tool [OPTIONS] COMMAND [FILE]\n"
    "Services the panel through its USB bootloader, with the RAM drivers\n"
    "serial_flash.S19 and cf_flash.S19.\n"
    "\n"
    "Commands:\n"
    "  list                      every panel on this host: its port, bus and\n"
    "                            device, speed, and whether this user may open it\n"
    "  flash FILE.s19            read the panel's firmware, erase and write only\n"
    "                            the sectors that differ from what panel_flasher\n"
    "                            would leave, then read them back and compare\n"
    "  load-language FILE        the same for a language file: only the pages\n"
    "                            that differ are written, the header last\n"
    "  restore BACKUP            put back what a panel held, from a backup folder\n"
    "                            that --backup saved\n"
    "  verify-firmware FILE.s19  compare the panel's flash with a firmware\n"
    "  verify-language FILE      compare the panel's serial flash with a language\n"
    "  save-firmware OUT.s19     save the panel's flash as S3 records\n"
    "  save-language OUT         save the panel's language (65,792 bytes)\n"
    "  watch --firmware FILE.s19 [--language FILE] [--log FILE] [--record FILE]\n"
    "        [--jobs N] [--ports P1,P2,...]   or   watch --config FILE\n"
    "                            a service bench: every panel plugged in gets the\n"
    "                            language (if given), then the firmware, each\n"
    "                            verified; several at once; Ctrl-C stops taking\n"
    "                            panels and lets those under way finish\n"
    "  history --record FILE [--port P] [--since T] [--result R] [--csv]\n"
    "                            the services a bench's record holds (read only)\n"
    "\n"
    "Options:\n"
    "  --port PATH               the panel at this port (as list shows it, e.g.\n"
    "                            1-1.4); needed when more than one is plugged in\n"
    "  --device BUS:DEV          the panel with these bus and device numbers\n"
    "  --drivers DIR             the RAM drivers' folder (default: the working\n"
    "                            directory)\n"
    "  --full                    flash, load-language, restore, watch: erase and\n"
    "                            write everything, as panel_flasher and lang_loader\n"
    "                            do, without reading the panel first\n"
    "  --backup DIR              flash, load-language, restore, watch: first save\n"
    "                            what the panel holds in a folder of its own in DIR\n"
    "  --force                   restore: also a firmware that failed the panel's\n"
    "                            boot check, exactly as it was held\n"
    "  --no-verify               flash, load-language, restore, watch: do not read\n"
    "                            back\n"
    "  --ping                    list: also ask each panel's bootloader\n"
    "  --firmware, --language    watch: the files every panel gets\n"
    "  --log FILE                watch: append a JSON line per service to FILE\n"
    "  --record FILE             watch: keep a row per service in the SQLite\n"
    "                            database FILE; history: read it\n"
    "  --jobs N                  watch: at most N services at once (default 8)\n"
    "  --ports P1,P2,...         watch: only the panels in these ports; others\n"
    "                            are told of and never opened\n"
    "  --live FILE               watch: keep FILE replaced with the bench's live\n"
    "                            state, for panel_view\n"
    "  --trusted-keys DIR        flash, load-language, watch: check the file's\n"
    "                            signature (FILE.minisig, from minisign -S)\n"
    "                            against the public keys (*.pub) in DIR; refuse\n"
    "                            a file it does not match, take one unsigned\n"
    "  --require-signature       flash, load-language, watch: refuse a file not\n"
    "                            signed by a trusted key (keys from --trusted-keys,\n"
    "                            else /etc/panel-service-tools/trusted-keys)\n"
    "  --config FILE             watch: the settings from FILE (as the system\n"
    "                            service runs it), one 'key = value' a line\n"
    "  --since T, --result R     history: rows from T (UTC, 2026-12-08 or\n"
    "                            2026-12-08T09:30:00Z), with result R\n"
    "  --csv                     history: CSV instead of a table\n"
    "  --json                    one JSON result on standard output (history:\n"
    "                            an array of the rows)\n"
    "  --quiet                   nothing on standard output\n"
    "  --help, --version\n"
    "\n"
    "On a terminal, a bar per phase shows the progress.\n"
    "Exit status: 0 done (written and verified, already held, the panel matches,\n"
    "saved), 1 the panel does not hold the file, 2 a usage error, 3 the panel, a\n"
    "driver, a file or a backup could not be used, or a step failed. watch: 0 no\n"
    "service failed, 1 one or more failed, 2 a file, the configuration, the log\n"
    "or the record cannot be used, 3 plug-ins cannot be heard or the log or the\n"
    "record could not be written. history: 0 read, 2 a usage error, 3 the record\n"
    "cannot be read.\n";

// Every command finds and opens its panel with these, and reads its RAM
// drivers from --drivers.
const Options kCommon = optionsOf({kPortOption, kDeviceOption, kDriversOption, kPingOption, kJsonOption, kQuietOption});
const Options kWrites = optionsOf({kFullOption, kBackupOption, kNoVerifyOption});
const Options kBench = optionsOf({kFirmwareOption, kLanguageOption, kLogOption, kJobsOption, kPortsOption,
                                  kConfigOption});
const Options kHistory = optionsOf({kSinceOption, kResultOption, kCsvOption});
const Options kSigned = optionsOf({kTrustedKeysOption, kRequireSignatureOption});

const std::vector<Command> &commands()
{
    static const std::vector<Command> table{
        {"list", false, kCommon, {}, runList},
        {"flash", true, kCommon | kWrites | kSigned, {}, runWrite},
        {"load-language", true, kCommon | kWrites | kSigned, {}, runWrite},
        {"restore", true, kCommon | kWrites | optionsOf({kForceOption}), {}, runRestore},
        {"verify-firmware", true, kCommon, {}, runReadBack},
        {"verify-language", true, kCommon, {}, runReadBack},
        {"save-firmware", true, kCommon, {}, runReadBack},
        {"save-language", true, kCommon, {}, runReadBack},
        {"watch", false, optionsOf({kDriversOption, kRecordOption, kLiveOption}) | kWrites | kBench | kSigned,
         {{optionsOf({kPortOption, kDeviceOption}),
           "watch services every panel plugged in: --port and --device are not for it"},
          {optionsOf({kPingOption, kJsonOption, kQuietOption}),
           "--ping, --json and --quiet are not for watch (--log keeps a record)"}},
         runWatch},
        {"history", false, optionsOf({kPortOption, kDriversOption, kJsonOption, kRecordOption}) | kHistory,
         {{kBench, "--firmware, --language, --log, --jobs, --ports and --config are for watch"},
          {optionsOf({kDeviceOption, kPingOption, kQuietOption, kForceOption}) | kWrites,
           "history takes --record, --port, --since, --result and --csv or --json"}},
         runHistory},
    };
    return table;
}

// The words every command refuses an option it does not take with, in
// the order they are looked at.
const std::vector<Refusal> &sharedRefusals()
{
    static const std::vector<Refusal> refusals{
        {kBench, "--firmware, --language, --log, --jobs, --ports and --config are for watch"},
        {kHistory, "--since, --result and --csv are for history"},
        {optionsOf({kRecordOption}), "--record is for watch and history"},
        {kWrites, "--full, --backup and --no-verify are for flash, load-language, restore and watch"},
        {optionsOf({kForceOption}), "--force is for restore"},
        {optionsOf({kLiveOption}), "--live is for watch"},
        {kSigned, "--trusted-keys and --require-signature are for flash, load-language and watch: restore puts back "
                  "what a panel held"},
    };
    return refusals;
}

// getopt_long's table: each option gives its Option as its value.
const option kOptions[] = {
    {"port", required_argument, nullptr, kPortOption},
    {"device", required_argument, nullptr, kDeviceOption},
    {"drivers", required_argument, nullptr, kDriversOption},
    {"no-verify", no_argument, nullptr, kNoVerifyOption},
    {"ping", no_argument, nullptr, kPingOption},
    {"json", no_argument, nullptr, kJsonOption},
    {"quiet", no_argument, nullptr, kQuietOption},
    {"firmware", required_argument, nullptr, kFirmwareOption},
    {"language", required_argument, nullptr, kLanguageOption},
    {"log", required_argument, nullptr, kLogOption},
    {"jobs", required_argument, nullptr, kJobsOption},
    {"full", no_argument, nullptr, kFullOption},
    {"backup", required_argument, nullptr, kBackupOption},
    {"force", no_argument, nullptr, kForceOption},
    {"record", required_argument, nullptr, kRecordOption},
    {"ports", required_argument, nullptr, kPortsOption},
    {"config", required_argument, nullptr, kConfigOption},
    {"since", required_argument, nullptr, kSinceOption},
    {"result", required_argument, nullptr, kResultOption},
    {"csv", no_argument, nullptr, kCsvOption},
    {"live", required_argument, nullptr, kLiveOption},
    {"trusted-keys", required_argument, nullptr, kTrustedKeysOption},
    {"require-signature", no_argument, nullptr, kRequireSignatureOption},
    {"help", no_argument, nullptr, kOptionCount},
    {"version", no_argument, nullptr, kOptionCount + 1},
    {nullptr, 0, nullptr, 0},
};

enum class Reading { GoOn, Help, Version, Refused };

// Reads the options into `in`: whether the run goes on, ends with the
// usage or the version, or refuses an option (`why`).
Reading readOptions(int argc, char **argv, Invocation &in, std::string &why)
{
    auto refuse = [&why](std::string text) {
        why = std::move(text);
        return Reading::Refused;
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
        if (c >= 0 && c < static_cast<int>(kOptionCount))
            in.given.set(static_cast<std::size_t>(c));
        switch (c) {
        case kPortOption: in.port = optarg; break;
        case kDeviceOption:
            if (std::sscanf(optarg, "%d:%d", &in.bus, &in.device) != 2 || in.bus <= 0 || in.device <= 0)
                return refuse(std::string("--device takes BUS:DEV, as list shows them, not '") + optarg + "'");
            break;
        case kDriversOption: in.drivers = optarg; break;
        case kNoVerifyOption: in.verify = false; break;
        case kFullOption: in.full = true; break;
        case kBackupOption:
            if (*optarg == '\0')
                return refuse("--backup takes a folder");
            in.backup = optarg;
            break;
        case kForceOption: in.force = true; break;
        case kRecordOption: in.bench.record = optarg; break;
        case kPortsOption:
            if (!parsePorts(optarg, in.bench.ports))
                return refuse(std::string("--ports takes ports separated by commas, not '") + optarg + "'");
            break;
        case kConfigOption: in.config = optarg; break;
        case kSinceOption: in.since = optarg; break;
        case kResultOption: in.result = optarg; break;
        case kCsvOption: in.csv = true; break;
        case kLiveOption: in.bench.live = optarg; break;
        case kTrustedKeysOption:
            if (*optarg == '\0')
                return refuse("--trusted-keys takes a folder");
            in.trustedKeys = in.bench.trustedKeys = optarg;
            break;
        case kRequireSignatureOption: in.requireSignature = in.bench.requireSignature = true; break;
        case kPingOption: in.ping = true; break;
        case kJsonOption: in.json = true; break;
        case kQuietOption: in.quiet = true; break;
        case kFirmwareOption: in.bench.firmware = optarg; break;
        case kLanguageOption: in.bench.language = optarg; break;
        case kLogOption: in.bench.log = optarg; break;
        case kJobsOption:
            if (!parseJobs(optarg, in.bench.jobs))
                return refuse(std::string("--jobs takes a number from 1 to 64, not '") + optarg + "'");
            break;
        case kOptionCount: return Reading::Help;
        case kOptionCount + 1: return Reading::Version;
        default: return refuse(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    return Reading::GoOn;
}

// The first of `refusals` that an option given and not taken meets.
const char *refusalOf(const std::vector<Refusal> &refusals, const Options &notTaken)
{
    for (const Refusal &r : refusals)
        if ((r.options & notTaken).any())
            return r.why;
    return nullptr;
}

} // namespace

Options optionsOf(std::initializer_list<Option> options)
{
    Options set;
    for (Option o : options)
        set.set(o);
    return set;
}

int usageError(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\nTry 'panel_tool --help'.\n", kProgram, what.c_str());
    return kUsageError;
}

int runPanelTool(int argc, char **argv)
{
    Invocation in;
    std::string why;
    switch (readOptions(argc, argv, in, why)) {
    case Reading::Help: std::fputs(kUsage, stdout); return kDone;
    case Reading::Version: std::printf("panel_tool %s\n", PANEL_VERSION); return kDone;
    case Reading::Refused: return usageError(why);
    case Reading::GoOn: break;
    }
    if (optind == argc)
        return usageError("give a command");
    in.command = argv[optind];
    in.operands.assign(argv + optind + 1, argv + argc);
    const auto &table = commands();
    const auto command = std::find_if(table.begin(), table.end(), [&in](const Command &c) { return in.command == c.name; });
    if (command == table.end())
        return usageError("unknown command '" + in.command + "'");
    if (in.operands.size() != (command->takesFile ? 1u : 0u))
        return usageError(in.command + (command->takesFile ? " takes one file" : " takes no file"));
    if (in.given[kPortOption] && in.given[kDeviceOption])
        return usageError("give --port or --device, not both");
    const Options notTaken = in.given & ~command->takes;
    const char *refused = refusalOf(command->refusals, notTaken);
    if (refused == nullptr)
        refused = refusalOf(sharedRefusals(), notTaken);
    if (refused != nullptr)
        return usageError(refused);
    return command->run(in);
}
