#pragma once

// panel_tool's run: lists the panels, or services one, chosen by its port
// when more than one is plugged in. Returns the exit status: 0 done, 1 the
// panel does not hold the file, 2 a usage error, 3 the panel, a driver or
// a file could not be used, or a step failed.
int runPanelTool(int argc, char **argv);
