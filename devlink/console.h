// What both programs print: fixed messages and the progress spinner.
#pragma once

#include "devlink/failure.h"

// A reader that goes away (`| head`, a closed terminal) must not end the
// run between an erase and the last page: writes to a closed output then
// fail quietly instead of killing the program with SIGPIPE.
void keepRunningWhenOutputCloses();
// The message, a newline, and a flush, so the technician sees it at once.
void printLine(const char *message);
// One spinner step, "|", "/", "-", "\" by `step` modulo 4, then `tail`;
// flushed so that it shows on a terminal.
void printSpinnerStep(unsigned step, const char *tail);
// The one line a failing program adds on standard error: "program: cause".
// Nothing when nothing failed. Standard output is flushed first so the two
// streams keep their order on a terminal.
void printCause(const char *program, const Failure &failure);
// A failed step: its message on standard output, then its cause as above.
// Always false, the run's result.
bool reportFailure(const char *program, const char *message, const Failure &failure);
