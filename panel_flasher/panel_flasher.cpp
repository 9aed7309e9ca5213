#include "panel_flasher/panel_flasher.h"

#include <cstdio>

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "panel_flasher/panel_flash_driver.h"

namespace {
constexpr const char *kMsgArguments = "ERROR: No existe fichero .s19";
constexpr const char *kMsgNoDevice = "ERROR: No encuentra el driver";
constexpr const char *kMsgNoBootloader = "ERROR: No encuentra el bootloader";
constexpr const char *kMsgNoDriver = "ERROR: al cargar el flasher";
constexpr const char *kMsgBadFirmware = "ERROR: al cargar el archivo binario";
constexpr const char *kMsgInitFailed = "Error: al iniciar el flash driver";
constexpr const char *kMsgEraseFailed = "ERROR: al borrar el flash";
constexpr const char *kMsgWriteFailed = "ERROR: al escribir el flash";
constexpr const char *kMsgDone = "Panel OK!!! :)";

constexpr const char *kProgram = "panel_flasher";

bool fail(const char *message, const Failure &failure)
{
    return reportFailure(kProgram, message, failure);
}

// A spinner step after each page written: "|", "/", "-", "\", two spaces
// and a carriage return, so it turns in place.
Progress spinner()
{
    Progress progress;
    progress.advanced = [](Phase phase, uint32_t done) {
        if (phase == Phase::Write)
            printSpinnerStep(done - 1, "  \r");
    };
    return progress;
}

// The message of the step that failed; after a page write, on a line of
// its own below the spinner.
bool flashingFailed(const Failure &failure)
{
    switch (failure.step) {
    case FailedStep::FlashInit:
        printLine(kMsgInitFailed);
        break;
    case FailedStep::FlashErase:
        printLine(kMsgEraseFailed);
        break;
    case FailedStep::FlashWrite:
        std::fputc('\n', stdout);
        printLine(kMsgWriteFailed);
        break;
    default:
        break;
    }
    printCause(kProgram, failure);
    return false;
}
} // namespace

bool runPanelFlasher(int argc, char **argv)
{
    BootLink link;
    PanelFlashDriver client(&link);
    if (argc != 2)
        return fail(kMsgArguments, fileFailure(FailureKind::Usage, "panel_flasher <firmware .S19>"));
    if (!link.open())
        return fail(kMsgNoDevice, link.failure());
    if (!link.ping())
        return fail(kMsgNoBootloader, link.failure());
    if (!client.loadDriver())
        return fail(kMsgNoDriver, client.failure());
    // Read only now, after the driver is in the panel's RAM.
    if (!client.loadFirmware(argv[1]))
        return fail(kMsgBadFirmware, client.failure());
    if (!client.flashFirmware(spinner()))
        return flashingFailed(client.failure());
    printLine(kMsgDone);
    return true;
}
