#pragma once

// panel_view's run: serves one read-only page about a bench, from its
// record and the live state it publishes, until SIGINT or SIGTERM.
// Returns the exit status.
int runPanelView(int argc, char **argv);
