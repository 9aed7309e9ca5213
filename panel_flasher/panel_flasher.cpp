#include "panel_flasher/panel_flasher.h"

#include "devlink/boot_link.h"
#include "devlink/console.h"
#include "panel_flasher/panel_flash_driver.h"

namespace {
constexpr const char *kMsgArguments = "ERROR: No existe fichero .s19";
constexpr const char *kMsgNoDevice = "ERROR: No encuentra el driver";
constexpr const char *kMsgNoBootloader = "ERROR: No encuentra el bootloader";
constexpr const char *kMsgNoDriver = "ERROR: al cargar el flasher";
constexpr const char *kMsgBadFirmware = "ERROR: al cargar el archivo binario";
constexpr const char *kMsgDone = "Panel OK!!! :)";

constexpr const char *kProgram = "panel_flasher";

bool fail(const char *message, const Failure &failure)
{
    return reportFailure(kProgram, message, failure);
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
    if (!client.flashFirmware()) {
        printCause(kProgram, client.failure());
        return false;
    }
    printLine(kMsgDone);
    return true;
}
