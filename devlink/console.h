// What both programs print: fixed messages and the progress spinner.
#pragma once

// The message, a newline, and a flush, so the technician sees it at once.
void printLine(const char *message);
// One spinner step, "|", "/", "-", "\" by `step` modulo 4, then `tail`;
// flushed so that it shows on a terminal.
void printSpinnerStep(unsigned step, const char *tail);
