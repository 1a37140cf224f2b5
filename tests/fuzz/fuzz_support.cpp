#include "fuzz_support.h"
#include "fuzz_exit.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include <jpeglib.h>

namespace {

std::size_t page_size()
{
    return std::size_t(sysconf(_SC_PAGESIZE));
}

std::size_t guarded_span(std::size_t size)
{
    std::size_t page = page_size();
    return (size + page - 1) / page * page + 2 * page;
}

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

// The data ends right at the guard page after it, and starts right after the
// guard page before it when size is a multiple of the page size.
unsigned char *map_guarded(std::size_t size)
{
    std::size_t span = guarded_span(size);
    void *base = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        std::fprintf(stderr, "mmap failed: %s\n", std::strerror(errno));
        std::abort();
    }
    unsigned char *end_guard = static_cast<unsigned char *>(base) + span - page_size();
    unsigned char *data = end_guard - size;
    unsigned char *first_page = static_cast<unsigned char *>(base) + page_size();
    if (mprotect(first_page, std::size_t(end_guard - first_page), PROT_READ | PROT_WRITE) != 0) {
        std::fprintf(stderr, "mprotect failed: %s\n", std::strerror(errno));
        std::abort();
    }
    return data;
}

void unmap_guarded(unsigned char *data, std::size_t size)
{
    std::size_t span = guarded_span(size);
    munmap(data + size + page_size() - span, span);
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
