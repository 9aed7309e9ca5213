// What both programs print: fixed messages and the progress spinner.
#pragma once

#include <string>

// The message, a newline, and a flush, so the technician sees it at once.
void printLine(const char *message);
// One spinner step, "|", "/", "-", "\" by `step` modulo 4, then `tail`;
// flushed so that it shows on a terminal.
void printSpinnerStep(unsigned step, const char *tail);
// The one line a failing program adds on standard error: "program: cause".
// Nothing when the cause is empty. Standard output is flushed first so the
// two streams keep their order on a terminal.
void printCause(const char *program, const std::string &cause);
// A failed step: its message on standard output, then its cause as above.
// Always false, the run's result.
bool reportFailure(const char *program, const char *message, const std::string &cause);
