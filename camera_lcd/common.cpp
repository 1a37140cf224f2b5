#include "common.h"
#include "image_input.h"

#include <sys/stat.h>
#include <unistd.h>

int file_size_get(const char *path)
{
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    return fit_file_size(st);
}

int open_regular_image(const char *path, int *size)
{
    int fd = open_image_file(path);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    if (fd >= 0)
        *size = fit_file_size(st);
    return fd;
}
