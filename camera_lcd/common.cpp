#include "common.h"

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int file_size_get(const char *path)
{
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    if (st.st_size > INT_MAX) // not representable: treat as unknown
        return -1;
    return int(st.st_size);
}

int open_image_file(const char *path)
{
    // Not blocking: a FIFO or a device given as the image must not hang the caller.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}
