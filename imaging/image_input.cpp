#include "image_input.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

int open_image_file(const char *path)
{
    return open(path, IMAGE_FILE_FLAGS);
}

int fit_file_size(const struct stat &st)
{
    return st.st_size > INT_MAX ? -1 : int(st.st_size);
}

long read_all(int fd, unsigned char *buf, long size, long offset)
{
    long total = 0;
    while (total < size) {
        ssize_t n = pread(fd, buf + total, size_t(size - total), off_t(offset + total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += n;
    }
    return total;
}

bool set_colour_output(jpeg_decompress_struct *cinfo, J_COLOR_SPACE colour_space)
{
    if (cinfo->out_color_space != JCS_RGB && cinfo->jpeg_color_space != JCS_GRAYSCALE)
        return false;
    cinfo->out_color_space = colour_space;
    return true;
}
