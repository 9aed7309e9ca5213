#pragma once

// panel_readback's run: reads the panel's serial flash or main flash back
// through the RAM drivers, to compare it with a file or to save it.
// Nothing is ever written to either memory. Returns the exit status.
int runPanelReadback(int argc, char **argv);
