// JPEG drawing: libjpeg decodes the part of the image that the screen shows,
// one line at a time into g_color_buf, in the screen's own pixel format where
// libjpeg has it; each line is clipped to the screen once and stored.
#include "common.h"
#include "image_input.h"
#include "lcd.h"
#include "lcd_lines.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <jpeglib.h>

namespace {

// Lines are decoded 4 bytes into g_color_buf, which keeps 4-byte pixels
// aligned: libjpeg-turbo's x86 colour converters write 16- or 32-byte-aligned
// lines with non-temporal stores, which would send each line to memory just
// before it is read back for drawing.
constexpr int LINE_OFFSET = 4;

// The image columns and lines that land on the screen.
struct image_window {
    int64_t first_column, end_column, first_line, end_line;
};

image_window find_visible_window(int64_t x, int64_t y, int64_t width, int64_t height)
{
    return {std::max<int64_t>(0, -x), std::min<int64_t>(width, g_screen.width - x),
            std::max<int64_t>(0, -y), std::min<int64_t>(height, g_screen.height - y)};
}

// Decodes only the columns the screen shows, and an iMCU more on either side:
// fancy upsampling takes a pixel's colour from its neighbours too, and treats
// the ends of a cropped line as the ends of the image. Returns the first
// column decoded.
int64_t crop_to_window(jpeg_decompress_struct *cinfo, const image_window &window)
{
#ifdef USE_LIBJPEG_TURBO
    int64_t imcu_width = int64_t(cinfo->max_h_samp_factor) * DCTSIZE;
    JDIMENSION first = JDIMENSION(std::max<int64_t>(0, window.first_column - imcu_width));
    JDIMENSION end =
        JDIMENSION(std::min<int64_t>(cinfo->output_width, window.end_column + imcu_width));
    JDIMENSION width = end - first;
    jpeg_crop_scanline(cinfo, &first, &width); // moves first to an iMCU's start
    return first;
#else
    (void)cinfo, (void)window;
    return 0;
#endif
}

// Lines above the screen are skipped without being decoded, where libjpeg can.
void skip_lines(jpeg_decompress_struct *cinfo, int64_t lines)
{
#ifdef USE_LIBJPEG_TURBO
    jpeg_skip_scanlines(cinfo, JDIMENSION(lines));
#else
    while (cinfo->output_scanline < lines) {
        JSAMPROW row = g_color_buf + LINE_OFFSET;
        jpeg_read_scanlines(cinfo, &row, 1);
    }
#endif
}

// Decodes and draws the lines the screen shows and stops after the last of
// them; true when that was the image's last line.
bool draw_visible_lines(jpeg_decompress_struct *cinfo, int64_t x, int64_t y,
                        const line_format &format)
{
    image_window window = find_visible_window(x, y, cinfo->output_width, cinfo->output_height);
    if (window.end_column <= window.first_column || window.end_line <= window.first_line ||
        !mmap_fd)
        return false;
    int64_t first_column = crop_to_window(cinfo, window);
    skip_lines(cinfo, window.first_line);
    while (cinfo->output_scanline < window.end_line) {
        int64_t line = y + cinfo->output_scanline;
        JSAMPROW row = g_color_buf + LINE_OFFSET;
        jpeg_read_scanlines(cinfo, &row, 1);
        draw_line(x + first_column, line, row, cinfo->output_width, format);
    }
    return cinfo->output_scanline == cinfo->output_height;
}

// libjpeg's standard error manager, but a fatal error jumps back to
// decode_image instead of ending the process.
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

// Decodes and draws one image, libjpeg's steps in order. Lines below the
// screen are never decoded: libjpeg is then not finished, only destroyed.
// libjpeg's fatal errors come back to the setjmp here: the decoder is
// released and the lines drawn stay. Only plain data lives in the frames a
// longjmp skips, and no C++ exception is thrown through libjpeg.
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
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        lcd_finish_picture();
        return -1;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    line_format format = choose_line_format(g_screen);
    int result = set_colour_output(&cinfo, format.colour_space) ? 0 : refuse_colours(cinfo);
    if (result == 0) {
        jpeg_start_decompress(&cinfo);
        if (draw_visible_lines(&cinfo, x, y, format))
            jpeg_finish_decompress(&cinfo);
    }
    jpeg_destroy_decompress(&cinfo);
    lcd_finish_picture(); // also for an image not drawn to its end: the lines drawn stay
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
    int size = -1;
    int fd = open_regular_image(path, &size);
    if (fd < 0) {
        std::printf("open %s error\n", path);
        return -1;
    }
    unsigned char *buf = size >= LCD_MIN_JPEG_FILE_BYTES
                             ? static_cast<unsigned char *>(std::malloc(size_t(size)))
                             : nullptr;
    long got = buf ? read_all(fd, buf, size, 0) : -1;
    close(fd);
    int result = got > 0 ? decode_image(x, y, buf, (unsigned long)got) : -1;
    std::free(buf);
    return result;
}
