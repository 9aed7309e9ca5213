#include "bench/bench_log.h"

#include <fcntl.h>
#include <unistd.h>

#include "panel_service/write_all.h"

BenchLog::~BenchLog()
{
    if (fd >= 0)
        close(fd);
}

bool BenchLog::open(const std::string &path)
{
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd >= 0;
}

bool BenchLog::append(const std::string &line) { return writeAll(fd, line + "\n") && fsync(fd) == 0; }
