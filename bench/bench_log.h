// The bench's log: a JSON line per service, appended, and on the disk
// before the next service is looked at, so that a power cut loses only
// the services under way.
#pragma once

#include <string>

class BenchLog {
public:
    BenchLog() = default;
    ~BenchLog();
    BenchLog(const BenchLog &) = delete;
    BenchLog &operator=(const BenchLog &) = delete;

    // Opens `path` to append to (made when missing); false, with errno.
    bool open(const std::string &path);
    // Appends the line and syncs it; false, with errno.
    bool append(const std::string &line);

    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }

private:
    int fd = -1;
};
