// Whole writes to a descriptor: a file, a pipe.
#pragma once

#include <string>

// Writes all of `bytes` to `fd`, through interruptions and short writes;
// false, with errno set (EIO when the file took nothing), when it cannot.
bool writeAll(int fd, const std::string &bytes);
