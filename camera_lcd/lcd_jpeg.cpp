// JPEG drawing: decode with libjpeg one line at a time into g_color_buf, clip
// each line to the screen once and store its visible pixels with
// lcd_draw_point.
#include "common.h"
#include "lcd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// libjpeg's standard error manager ends the process on data it cannot decode.
int decode_and_draw(int x, int y, const unsigned char *data, unsigned long size)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    if (!choose_line_colours(cinfo)) {
        std::fprintf(stderr, "Unable to draw a JPEG image of %d colour components\n",
                     cinfo.num_components);
        jpeg_destroy_decompress(&cinfo);
        return -1;
    }
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        int64_t line = int64_t(y) + cinfo.output_scanline;
        JSAMPROW row = g_color_buf + LINE_OFFSET;
        jpeg_read_scanlines(&cinfo, &row, 1);
        draw_line(x, line, row, cinfo.output_width);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

} // namespace

int show_video_data(int x, int y, const unsigned char *jpeg_data, int jpeg_size)
{
    // A negative size is no data at all; libjpeg refuses that like an empty frame.
    return decode_and_draw(x, y, jpeg_data, jpeg_size > 0 ? (unsigned long)jpeg_size : 0);
}

int lcd_draw_jpg(int x, int y, const char *path)
{
    if (!path)
        return -1;
    int fd = open(path, O_RDWR);
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
    int result = got > 0 ? decode_and_draw(x, y, buf, (unsigned long)got) : -1;
    std::free(buf);
    return result;
}
