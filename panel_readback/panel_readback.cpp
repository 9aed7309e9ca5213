#include "panel_readback/panel_readback.h"

#include <cstdio>
#include <getopt.h>
#include <string>
#include <unistd.h>

#include "devlink/console.h"
#include "panel_service/readback.h"

namespace {

constexpr int kMatch = 0;
constexpr int kDiffers = 1;
constexpr int kUsageError = 2;
constexpr int kUnusable = 3;

constexpr const char *kProgram = "panel_readback";

const char kUsage[] =
    "Usage: panel_readback [--drivers DIR] COMMAND FILE\n"
    "Reads the panel's memories back through its USB bootloader; never writes them.\n"
    "\n"
    "  verify-language FILE      compare serial flash pages 32-287 and the header\n"
    "                            page 1 (byte 4 set to 1) with a language file\n"
    "  verify-firmware FILE.s19  compare flash pages from 64 with the firmware as\n"
    "                            panel_flasher writes it, checksum word included\n"
    "  save-language OUT         save the language: 65,792 bytes, data then header\n"
    "  save-firmware OUT.s19     save flash 0x4000-0x3FFFF as S3 records, erased\n"
    "                            pages left out\n"
    "\n"
    "  --drivers DIR             load the RAM driver (serial_flash.S19 or\n"
    "                            cf_flash.S19) from DIR, not the working directory\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 the panel matches or the file was saved, 1 it does not match,\n"
    "2 a usage error, 3 the panel, a driver or a file cannot be used.\n";

struct Request {
    ReadbackCommand command = ReadbackCommand::VerifyLanguage;
    std::string file;
    std::string drivers = ".";
};

int usageError(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\nTry 'panel_readback --help'.\n", kProgram, what.c_str());
    return kUsageError;
}

// Whether the run goes on with `request`; when not, `status` is its exit
// status.
bool parseArguments(int argc, char **argv, Request &request, int &status)
{
    enum { kDrivers = 256, kHelp, kVersion };
    static const option options[] = {
        {"drivers", required_argument, nullptr, kDrivers},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        switch (c) {
        case kDrivers: request.drivers = optarg; break;
        case kHelp:
            std::fputs(kUsage, stdout);
            status = kMatch;
            return false;
        case kVersion:
            std::printf("panel_readback %s\n", PANEL_VERSION);
            status = kMatch;
            return false;
        default: status = usageError(std::string("unknown option '") + argv[optind - 1] + "'"); return false;
        }
    }
    if (argc - optind != 2) {
        status = usageError("give a command and a file");
        return false;
    }
    request.file = argv[optind + 1];
    if (readbackCommandNamed(argv[optind], request.command))
        return true;
    status = usageError(std::string("unknown command '") + argv[optind] + "'");
    return false;
}

// "reading page N of M" on a terminal, redrawn in place and cleared at
// the end; nothing when standard error goes to a file or a pipe.
class PageCounter {
public:
    PageCounter() : shown(isatty(STDERR_FILENO) == 1) {}
    ~PageCounter()
    {
        if (shown)
            std::fputs("\r\033[K", stderr);
    }
    Progress progress()
    {
        Progress p;
        if (!shown)
            return p;
        p.began = [this](Phase phase, uint32_t pages) {
            if (phase == Phase::Read)
                total = pages;
        };
        p.advanced = [this](Phase phase, uint32_t done) {
            if (phase == Phase::Read)
                std::fprintf(stderr, "\rreading page %u of %u", done, total);
        };
        return p;
    }

private:
    bool shown;
    uint32_t total = 0;
};

} // namespace

int runPanelReadback(int argc, char **argv)
{
    Request request;
    int status = kMatch;
    if (!parseArguments(argc, argv, request, status))
        return status;
    ServiceResult result;
    {
        PageCounter counter;
        result = runReadback(request.command, request.file, request.drivers, PanelChoice{}, counter.progress());
    }
    if (result.end == ServiceEnd::Failed) {
        printCause(kProgram, result.failure);
        return kUnusable;
    }
    std::printf("%s\n", readbackLine(result).c_str());
    return result.end == ServiceEnd::Mismatch ? kDiffers : kMatch;
}
