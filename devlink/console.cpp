#include "devlink/console.h"

#include <cstdio>

void printLine(const char *message)
{
    std::fputs(message, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printSpinnerStep(unsigned step, const char *tail)
{
    static const char kSpinner[] = {'|', '/', '-', '\\'};
    std::fputc(kSpinner[step % 4], stdout);
    std::fputs(tail, stdout);
    std::fflush(stdout);
}
