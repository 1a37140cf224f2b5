// jpeg_fb (source jpeg_show, a kept name): shows one JPEG file on the
// framebuffer. The file is read and decoded completely before the screen is
// opened; the screen is cleared and the image placed at its top-left corner,
// clipped, each colour where the driver's bitfields say it lives. Every
// failure ends the process with status 1.
#include "fb_screen.h"
#include "image_input.h"
#include "pixel_format.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>

namespace {

constexpr int FAILURE = 1;

// Call sites named in the failure lines "[site]: ...". They are output codes
// that users and scripts match, not line numbers: 88, 101 and 145 are the
// viewer's original codes; the others name checks added since. Never renumber.
constexpr int SITE_STAT = 88;
constexpr int SITE_FILE_SIZE = 92;
constexpr int SITE_OPEN = 101;
constexpr int SITE_FILE_ALLOC = 110;
constexpr int SITE_READ_END = 120;
constexpr int SITE_READ_HEADER = 145;
constexpr int SITE_COLOUR_SPACE = 150;
constexpr int SITE_IMAGE_SIZE = 160;
constexpr int SITE_IMAGE_ALLOC = 165;
constexpr int SITE_SCREEN_VAR = 180;
constexpr int SITE_SCREEN_FIX = 185;
constexpr int SITE_SCREEN_FORMAT = 190;
constexpr int SITE_SCREEN_SIZE = 195;
constexpr int SITE_SCREEN_MAP = 200;
constexpr int SITE_SCREEN_MSYNC = 210;
constexpr int SITE_SCREEN_FSYNC = 215;

struct image_info {
    int32_t width;      // pixels per line
    int32_t height;     // lines
    int32_t components; // bytes per pixel, R, G, B first
};

// The one form of the viewer's failure lines: "[site]: what", then status 1.
[[noreturn]] __attribute__((format(printf, 2, 3))) void fail_at(int site, const char *what, ...)
{
    va_list args;
    va_start(args, what);
    std::fprintf(stderr, "[%d]: ", site);
    std::vfprintf(stderr, what, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::exit(FAILURE);
}

// A failed call, with the system's text for errno.
[[noreturn]] void fail_call(int site, const char *call)
{
    fail_at(site, "%s failed: %s", call, std::strerror(errno));
}

// Stat and Open: checked wrappers named after their call, capitalised (kept names).
int Stat(const char *path, struct stat *st)
{
    int result = stat(path, st);
    if (result == -1)
        fail_call(SITE_STAT, "stat");
    return result;
}

int Open(const char *path, int flags)
{
    int fd = open(path, flags);
    if (fd == -1)
        fail_call(SITE_OPEN, "open");
    return fd;
}

// A file that ends before size bytes (it shrank after its size was taken)
// stops the program rather than waiting for bytes that never come.
int read_image_from_file(int fd, void *buf, int size)
{
    long got = read_all(fd, static_cast<unsigned char *>(buf), size, 0);
    if (got == -1) {
        std::perror("read jpeg-file failed");
        std::exit(FAILURE);
    }
    if (got < size) {
        fail_at(SITE_READ_END, "read failed: end of file after %ld of %d bytes", got, size);
    }
    close(fd);
    return int(got);
}

// The file's size, refused when it does not fit the int the reader counts in.
int file_size(const char *path)
{
    struct stat st;
    Stat(path, &st);
    int size = fit_file_size(st);
    if (size < 0) {
        fail_at(SITE_FILE_SIZE, "file too large: %lld bytes", (long long)st.st_size);
    }
    return size;
}

unsigned char *read_whole_file(const char *path, int *size)
{
    *size = file_size(path);
    int fd = Open(path, IMAGE_FILE_FLAGS);
    // One byte at least: an empty file is libjpeg's to refuse, not calloc's.
    void *buffer = std::calloc(size_t(*size) + 1, 1);
    if (!buffer)
        fail_call(SITE_FILE_ALLOC, "calloc");
    read_image_from_file(fd, buffer, *size);
    return static_cast<unsigned char *>(buffer);
}

// Greyscale is decoded to grey RGB; CMYK, YCCK and the like cannot be shown.
void choose_rgb_output(jpeg_decompress_struct *cinfo)
{
    if (!set_colour_output(cinfo, JCS_RGB)) {
        fail_at(SITE_COLOUR_SPACE, "colour space not supported: %d components",
                cinfo->num_components);
    }
}

// Bytes of the decoded image, refused when they do not fit the sizes in use.
size_t image_bytes(const jpeg_decompress_struct *cinfo)
{
    uint64_t bytes =
        uint64_t(cinfo->output_width) * cinfo->output_height * uint64_t(cinfo->output_components);
    if (cinfo->output_width > INT32_MAX || cinfo->output_height > INT32_MAX ||
        bytes > uint64_t(PTRDIFF_MAX) || bytes > SIZE_MAX) {
        fail_at(SITE_IMAGE_SIZE, "image too large: %u x %u pixels", cinfo->output_width,
                cinfo->output_height);
    }
    return size_t(bytes);
}

// The image is written once from start to end: huge pages, where the kernel
// offers them, spare it a page fault for every 4 KiB. Only advice: failure is harmless.
void advise_huge_pages(unsigned char *buffer, size_t bytes)
{
    uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t start = (uintptr_t(buffer) + page - 1) / page * page;
    uintptr_t end = (uintptr_t(buffer) + bytes) / page * page;
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}

void decode_lines(jpeg_decompress_struct *cinfo, unsigned char *image, size_t stride)
{
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row = image + cinfo->output_scanline * stride;
        jpeg_read_scanlines(cinfo, &row, 1);
    }
}

// libjpeg's standard error manager reports data it cannot decode and ends the process.
unsigned char *decode_image(const unsigned char *jpeg, int size, image_info *info)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg, (unsigned long)size);
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK)
        fail_call(SITE_READ_HEADER, "jpeg_read_header");
    choose_rgb_output(&cinfo);
    jpeg_start_decompress(&cinfo);
    size_t bytes = image_bytes(&cinfo);
    info->width = int32_t(cinfo.output_width);
    info->height = int32_t(cinfo.output_height);
    info->components = cinfo.output_components;
    unsigned char *image = static_cast<unsigned char *>(std::calloc(bytes, 1));
    if (!image)
        fail_call(SITE_IMAGE_ALLOC, "calloc");
    advise_huge_pages(image, bytes);
    decode_lines(&cinfo, image, size_t(info->width) * size_t(info->components));
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return image;
}

// A driver that refuses both queries is named by the one the viewer asks first.
[[noreturn]] void fail_query(const fb_answers &answers)
{
    if (answers.var_errno != 0) {
        errno = answers.var_errno;
        fail_call(SITE_SCREEN_VAR, "ioctl FBIOGET_VSCREENINFO");
    }
    errno = answers.fix_errno;
    fail_call(SITE_SCREEN_FIX, "ioctl FBIOGET_FSCREENINFO");
}

// Ends the program on a screen fb_map could not take: before the screen is
// touched, a format the writer cannot draw and lines that do not fit the
// driver's screen memory are refused.
void refuse_screen(fb_fault fault, const fb_mapping &fb)
{
    const fb_var_screeninfo &var = fb.answers.var;
    const fb_fix_screeninfo &fix = fb.answers.fix;
    switch (fault) {
    case fb_fault::none: return;
    case fb_fault::query: fail_query(fb.answers);
    case fb_fault::format:
        fail_at(SITE_SCREEN_FORMAT, "screen format not supported: %u bits per pixel, visual %u",
                var.bits_per_pixel, fix.visual);
    case fb_fault::size:
    case fb_fault::memory:
        fail_at(SITE_SCREEN_SIZE,
                "screen size not supported: %ux%u, %u bytes per line, "
                "%u bytes of screen memory",
                var.xres, var.yres, fix.line_length, fix.smem_len);
    case fb_fault::map: fail_call(SITE_SCREEN_MAP, "mmap");
    }
}

// Clears the lines the display shows, padding included, then places the
// image at the top-left corner of what it shows (the driver's pan), clipped
// to the screen, each colour where the screen's format puts it; bits no
// colour selects stay 0. The image is R, G, B, as decode_image has libjpeg
// decode it.
void write_lcd(const unsigned char *image, const image_info *info, const fb_mapping *screen)
{
    const fb_var_screeninfo &var = screen->answers.var;
    size_t line_length = screen->answers.fix.line_length;
    unsigned char *shown = screen->memory + line_length * var.yoffset;
    std::memset(shown, 0, line_length * var.yres);
    size_t columns = info->width < 0 ? 0 : size_t(info->width);
    size_t lines = info->height < 0 ? 0 : size_t(info->height);
    size_t shown_columns = columns < var.xres ? columns : var.xres;
    size_t shown_lines = lines < var.yres ? lines : var.yres;
    size_t stride = columns * size_t(info->components);
    size_t left = size_t(var.xoffset) * size_t(screen->format.bytes_per_pixel);
    for (size_t i = 0; i < shown_lines; i++)
        store_pixel_line(shown + i * line_length + left, image + i * stride, shown_columns,
                         pixel_source::rgb_bytes, screen->format);
}

// Panels with deferred I/O show only what is flushed. A driver without it has
// no flush operation and answers EINVAL: its memory is the picture already.
void flush_screen(const fb_mapping &screen, int fb)
{
    if (msync(screen.memory, screen.view.length, MS_SYNC) == -1 && errno != EINVAL)
        fail_call(SITE_SCREEN_MSYNC, "msync");
    if (fsync(fb) == -1 && errno != EINVAL)
        fail_call(SITE_SCREEN_FSYNC, "fsync");
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::printf("Usage: %s <jpeg image>\n", argc > 0 ? argv[0] : "jpeg_fb");
        return FAILURE;
    }
    int size = 0;
    unsigned char *jpeg = read_whole_file(argv[1], &size);
    image_info info;
    unsigned char *image = decode_image(jpeg, size, &info);
    std::free(jpeg);

    int fb = Open(FB_DEVICE, O_RDWR | O_EXCL | O_CLOEXEC);
    fb_mapping screen;
    refuse_screen(fb_map(fb, &screen), screen);
    write_lcd(image, &info, &screen);
    flush_screen(screen, fb);
    std::free(image);
    return 0;
}
