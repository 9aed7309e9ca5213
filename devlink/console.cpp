#include "devlink/console.h"

#include <csignal>
#include <cstdio>

void keepRunningWhenOutputCloses()
{
    std::signal(SIGPIPE, SIG_IGN);
}

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

void printCause(const char *program, const Failure &failure)
{
    const std::string cause = describe(failure);
    if (cause.empty())
        return;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program, cause.c_str());
}

bool reportFailure(const char *program, const char *message, const Failure &failure)
{
    printLine(message);
    printCause(program, failure);
    return false;
}
