/* Preloaded into a program under test: each fsync or fdatasync of the
 * file SYNC_PROBE_FILE names appends the file's size at that moment to
 * SYNC_PROBE_OUT, one number a line. A test can then tell whether every
 * record the program appended was on the disk before the next one began,
 * without a hook in the program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void note(int fd)
{
    const char *watched = getenv("SYNC_PROBE_FILE");
    const char *out = getenv("SYNC_PROBE_OUT");
    struct stat file, synced;
    if (watched == NULL || out == NULL || fstat(fd, &synced) != 0 || stat(watched, &file) != 0 ||
        file.st_dev != synced.st_dev || file.st_ino != synced.st_ino)
        return;
    char line[32];
    const int n = snprintf(line, sizeof line, "%lld\n", (long long)synced.st_size);
    const int record = open(out, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (record < 0)
        return;
    if (write(record, line, (size_t)n) != n)
        fprintf(stderr, "sync_probe: cannot write %s\n", out);
    close(record);
}

int fsync(int fd)
{
    static int (*real)(int);
    if (real == NULL)
        *(void **)&real = dlsym(RTLD_NEXT, "fsync");
    const int result = real(fd);
    if (result == 0)
        note(fd);
    return result;
}

int fdatasync(int fd)
{
    static int (*real)(int);
    if (real == NULL)
        *(void **)&real = dlsym(RTLD_NEXT, "fdatasync");
    const int result = real(fd);
    if (result == 0)
        note(fd);
    return result;
}
