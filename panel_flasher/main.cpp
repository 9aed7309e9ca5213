#include "devlink/console.h"
#include "panel_flasher/panel_flasher.h"

// Exit status 1 means success: calling scripts depend on it.
int main(int argc, char **argv)
{
    keepRunningWhenOutputCloses();
    return runPanelFlasher(argc, argv) ? 1 : 0;
}
