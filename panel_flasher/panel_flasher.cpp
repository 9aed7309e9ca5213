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
} // namespace

bool runPanelFlasher(int argc, char **argv)
{
    BootLink link;
    PanelFlashDriver client(&link);
    if (argc != 2) {
        printLine(kMsgArguments);
        return false;
    }
    if (!link.open()) {
        printLine(kMsgNoDevice);
        return false;
    }
    if (!link.ping()) {
        printLine(kMsgNoBootloader);
        return false;
    }
    if (!client.loadDriver()) {
        printLine(kMsgNoDriver);
        return false;
    }
    // Read only now, after the driver is in the panel's RAM.
    if (!client.loadFirmware(argv[1])) {
        printLine(kMsgBadFirmware);
        return false;
    }
    if (!client.flashFirmware())
        return false;
    printLine(kMsgDone);
    return true;
}
