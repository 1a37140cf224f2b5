#include "common.h"
#include "image_input.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int file_size_get(const char *path)
{
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    return fit_file_size(st);
}

int open_image_file(const char *path, int *size)
{
    // Not blocking: a FIFO or a device given as the image must not hang the caller.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    if (fd >= 0)
        *size = fit_file_size(st);
    return fd;
}

int report_failure(const char *what, ...)
{
    int err = errno;
    char action[256];
    va_list args;
    va_start(args, what);
    std::vsnprintf(action, sizeof action, what, args);
    va_end(args);
    std::fprintf(stderr, "Unable to %s: %s (%d)\n", action, std::strerror(err), err);
    errno = err;
    return -1;
}
