#include "panel_view/panel_view.h"

// 0: stopped by SIGINT or SIGTERM (or --help, --version); 2: a usage
// error; 3: it cannot listen where it was told to.
int main(int argc, char **argv) { return runPanelView(argc, argv); }
