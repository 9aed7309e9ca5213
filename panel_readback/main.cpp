#include "devlink/console.h"
#include "panel_readback/panel_readback.h"

// 0: the panel matches, or the file was saved; 1: it does not match;
// 2: a usage error; 3: the panel, a driver or a file cannot be used.
int main(int argc, char **argv)
{
    keepRunningWhenOutputCloses();
    return runPanelReadback(argc, argv);
}
