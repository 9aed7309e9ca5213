#include "devlink/console.h"
#include "panel_tool/panel_tool.h"

int main(int argc, char **argv)
{
    keepRunningWhenOutputCloses();
    return runPanelTool(argc, argv);
}
