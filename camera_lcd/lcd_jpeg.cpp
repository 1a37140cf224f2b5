// JPEG drawing: decode with libjpeg one line at a time into g_color_buf, clip
// each line to the screen once and store its visible pixels with
// lcd_draw_point.
#include "common.h"
#include "lcd.h"
#include "lcd_drm.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <jpeglib.h>

namespace {

constexpr int MIN_JPEG_FILE_BYTES = 3000;

#if defined(JCS_EXTENSIONS) && !defined(DECODE_RGB_LINES)
// libjpeg-turbo decodes straight into the pixel word's byte order; only the
// top byte, which libjpeg leaves undefined, has to be cleared.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr J_COLOR_SPACE LINE_COLOR_SPACE = JCS_EXT_BGRX;
#else
constexpr J_COLOR_SPACE LINE_COLOR_SPACE = JCS_EXT_XRGB;
#endif
constexpr int LINE_PIXEL_BYTES = 4;

inline uint32_t pixel_word(const unsigned char *p)
{
    uint32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return bytes & 0x00FFFFFF;
}
#else
// A plain libjpeg delivers R, G, B lines.
constexpr J_COLOR_SPACE LINE_COLOR_SPACE = JCS_RGB;
constexpr int LINE_PIXEL_BYTES = 3;

// The pixel word of the R, G, B bytes at p. Reads one byte beyond them: the
// line buffer always has it, and one load is cheaper than three.
inline uint32_t pixel_word(const unsigned char *p)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return __builtin_bswap32(bytes) >> 8;
#else
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
#endif
}
#endif

// Lines are decoded 4 bytes into g_color_buf, which keeps 4-byte pixels
// aligned: libjpeg-turbo's x86 colour converters write 16- or 32-byte-aligned
// lines with non-temporal stores, which would send each line to memory just
// before it is read back for drawing.
constexpr int LINE_OFFSET = 4;

// Stores the decoded pixels of columns first to end - 1 of screen line y,
// which the caller has clipped to the screen: inlined, lcd_draw_point's checks
// fold away and the compiler vectorises the loop; unrolled, it keeps up with
// the stores.
void store_line(int y, int first, int end, const unsigned char *__restrict pixels)
{
#pragma GCC unroll 4
    for (int column = first; column < end; column++, pixels += LINE_PIXEL_BYTES)
        lcd_draw_point(column, y, pixel_word(pixels));
}

// Draws a decoded line of width pixels with its first pixel at (x, y),
// clipped to the screen. 64-bit sums: positions come from callers.
void draw_line(int64_t x, int64_t y, const unsigned char *pixels, int64_t width)
{
    if (y < 0 || y >= LCD_HEIGHT || !mmap_fd)
        return;
    int first = int(x < 0 ? 0 : x > LCD_WIDTH ? LCD_WIDTH : x);
    int end = int(x + width < LCD_WIDTH ? x + width : LCD_WIDTH);
    if (end <= first)
        return;
    store_line(int(y), first, end, pixels + LINE_PIXEL_BYTES * (first - x));
}

// Colour and grey images are decoded to LINE_COLOR_SPACE; false for others.
bool choose_line_colours(jpeg_decompress_struct &cinfo)
{
    if (cinfo.out_color_space != JCS_RGB && cinfo.jpeg_color_space != JCS_GRAYSCALE)
        return false;
    cinfo.out_color_space = LINE_COLOR_SPACE;
    return true;
}

// libjpeg's standard error manager, but a fatal error jumps back to
// decode_guarded instead of ending the process.
struct guarded_errors {
    jpeg_error_mgr std; // first: libjpeg hands &std around as cinfo->err
    std::jmp_buf jump;
};

static_assert(JPEG_MESSAGE_BYTES == JMSG_LENGTH_MAX, "a kept message holds libjpeg's longest");

// Keeps a message unless one with its code is kept already; a fatal error
// takes the last place when all are taken, so that it is always there.
void keep_message(int code, const char *text, bool fatal)
{
    jpeg_report &r = g_jpeg_report;
    for (int i = 0; i < r.count; i++)
        if (r.messages[i].code == code)
            return;
    if (r.count == JPEG_MESSAGES_KEPT && !fatal)
        return;
    jpeg_message &m = r.messages[r.count < JPEG_MESSAGES_KEPT ? r.count++ : r.count - 1];
    m.code = code;
    std::snprintf(m.text, sizeof m.text, "%s", text);
}

void keep_libjpeg_message(j_common_ptr cinfo, bool fatal)
{
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    keep_message(cinfo->err->msg_code, text, fatal);
}

// Warnings (level -1) are kept; like the standard manager, only an image's
// first is printed. Trace messages (level 0 and up) are not wanted.
void emit_message(j_common_ptr cinfo, int msg_level)
{
    jpeg_error_mgr *err = cinfo->err;
    if (msg_level >= 0)
        return;
    if (err->num_warnings == 0 && g_jpeg_print_messages)
        err->output_message(cinfo);
    err->num_warnings++;
    g_jpeg_report.warnings = int(err->num_warnings);
    keep_libjpeg_message(cinfo, false);
}

[[noreturn]] void error_exit(j_common_ptr cinfo)
{
    if (g_jpeg_print_messages)
        cinfo->err->output_message(cinfo);
    keep_libjpeg_message(cinfo, true);
    g_jpeg_report.failed = true;
    std::longjmp(reinterpret_cast<guarded_errors *>(cinfo->err)->jump, 1);
}

int refuse_colours(const jpeg_decompress_struct &cinfo)
{
    char text[JMSG_LENGTH_MAX];
    std::snprintf(text, sizeof text, "Unable to draw a JPEG image of %d colour components",
                  cinfo.num_components);
    if (g_jpeg_print_messages)
        std::fprintf(stderr, "%s\n", text);
    keep_message(JPEG_UNDRAWABLE_COLOURS, text, true);
    g_jpeg_report.failed = true;
    return -1;
}

// The decode from header to end, each line drawn as it comes.
int decode_and_draw(jpeg_decompress_struct *cinfo, int x, int y, const unsigned char *data,
                    unsigned long size)
{
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, data, size);
    jpeg_read_header(cinfo, TRUE);
    if (!choose_line_colours(*cinfo))
        return refuse_colours(*cinfo);
    jpeg_start_decompress(cinfo);
    while (cinfo->output_scanline < cinfo->output_height) {
        int64_t line = int64_t(y) + cinfo->output_scanline;
        JSAMPROW row = g_color_buf + LINE_OFFSET;
        jpeg_read_scanlines(cinfo, &row, 1);
        draw_line(x, line, row, cinfo->output_width);
    }
    jpeg_finish_decompress(cinfo);
    return 0;
}

// The one place libjpeg's fatal errors come back to: the decoder is released
// and the lines drawn stay. Only plain data lives in the frames a longjmp
// skips, and no C++ exception is thrown through libjpeg.
int decode_guarded(jpeg_decompress_struct *cinfo, guarded_errors *errors, int x, int y,
                   const unsigned char *data, unsigned long size)
{
    if (setjmp(errors->jump) != 0) {
        jpeg_destroy_decompress(cinfo);
        return -1;
    }
    int result = decode_and_draw(cinfo, x, y, data, size);
    jpeg_destroy_decompress(cinfo);
    return result;
}

int decode_image(int x, int y, const unsigned char *data, unsigned long size)
{
    g_jpeg_report.failed = false;
    g_jpeg_report.warnings = 0;
    g_jpeg_report.count = 0;
    jpeg_decompress_struct cinfo = {};
    guarded_errors errors;
    cinfo.err = jpeg_std_error(&errors.std);
    errors.std.emit_message = emit_message;
    errors.std.error_exit = error_exit;
    int result = decode_guarded(&cinfo, &errors, x, y, data, size);
    drm_mark_dirty(); // also after a failure: the lines drawn stay
    return result;
}

} // namespace

jpeg_report g_jpeg_report;
bool g_jpeg_print_messages = true;

int show_video_data(int x, int y, const unsigned char *jpeg_data, int jpeg_size)
{
    // A negative size is no data at all; libjpeg refuses that like an empty frame.
    return decode_image(x, y, jpeg_data, jpeg_size > 0 ? (unsigned long)jpeg_size : 0);
}

int lcd_draw_jpg(int x, int y, const char *path)
{
    if (!path)
        return -1;
    int fd = open_image_file(path);
    if (fd < 0) {
        std::printf("open %s error\n", path);
        return -1;
    }
    int size = file_size_get(path);
    unsigned char *buf = size >= MIN_JPEG_FILE_BYTES
                             ? static_cast<unsigned char *>(std::malloc(size_t(size)))
                             : nullptr;
    long got = buf ? read_all(fd, buf, size, 0) : -1;
    close(fd);
    int result = got > 0 ? decode_image(x, y, buf, (unsigned long)got) : -1;
    std::free(buf);
    return result;
}
