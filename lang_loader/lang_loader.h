#pragma once

// The language loader's run: checks, driver upload, 256 data pages, header.
// True on success; the process exit status is this result (1 on success).
bool runLangLoader(int argc, char **argv);
