#include "fuzz_support.h"
#include "fuzz_exit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include <jpeglib.h>

namespace {

bool write_all(int fd, const uint8_t *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

} // namespace

int open_input_file(const uint8_t *data, std::size_t size, char *path, std::size_t path_size)
{
    int fd = memfd_create("fuzz-input", 0);
    if (fd < 0) {
        std::fprintf(stderr, "memfd_create failed: %s\n", std::strerror(errno));
        return -1;
    }
    if (!write_all(fd, data, size)) {
        std::fprintf(stderr, "write failed: %s\n", std::strerror(errno));
        close(fd);
        return -1;
    }
    std::snprintf(path, path_size, "/proc/self/fd/%d", fd);
    return fd;
}

namespace {

uint64_t g_header_pixels;

void read_header_pixels(const uint8_t *data, std::size_t size)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, (unsigned long)size);
    jpeg_read_header(&cinfo, TRUE);
    g_header_pixels = uint64_t(cinfo.image_width) * cinfo.image_height;
    jpeg_destroy_decompress(&cinfo);
}

} // namespace

// A header libjpeg refuses is within the budget: the code under test refuses it as cheaply.
bool jpeg_within_budget(const uint8_t *data, std::size_t size)
{
    g_header_pixels = 0;
    return run_input(read_header_pixels, data, size) != 0 || g_header_pixels <= FUZZ_MAX_PIXELS;
}
