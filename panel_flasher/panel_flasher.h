#pragma once

// The firmware flasher's run: checks, driver upload, firmware read, flashing.
// True on success; the process exit status is this result (1 on success).
bool runPanelFlasher(int argc, char **argv);
