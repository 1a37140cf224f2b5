// JPEG drawing: decode with libjpeg one line at a time into g_color_buf and
// store each visible pixel with lcd_draw_point.
#include "common.h"
#include "lcd.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <jpeglib.h>

namespace {

constexpr int MIN_JPEG_FILE_BYTES = 3000;

// Draws the decoded line at screen line y, from column x, skipping what falls off the screen.
void draw_line(int x, int y, const unsigned char *rgb, int width)
{
    if (y < 0 || y >= LCD_HEIGHT)
        return;
    int first = x < 0 ? -x : 0;
    int end = LCD_WIDTH - x < width ? LCD_WIDTH - x : width;
    for (int i = first; i < end; i++) {
        const unsigned char *p = rgb + 3 * i;
        lcd_draw_point(x + i, y, uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
    }
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
    if (cinfo.jpeg_color_space == JCS_GRAYSCALE)
        cinfo.out_color_space = JCS_RGB;
    if (cinfo.out_color_space != JCS_RGB) {
        std::fprintf(stderr, "Unable to draw a JPEG image of %d colour components\n",
                     cinfo.num_components);
        jpeg_destroy_decompress(&cinfo);
        return -1;
    }
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        int line = y + int(cinfo.output_scanline);
        JSAMPROW row = g_color_buf;
        jpeg_read_scanlines(&cinfo, &row, 1);
        draw_line(x, line, g_color_buf, int(cinfo.output_width));
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

// Reads up to size bytes; the count really read, or -1 on a read error.
long read_file(int fd, unsigned char *buf, long size)
{
    long total = 0;
    while (total < size) {
        ssize_t n = read(fd, buf + total, size_t(size - total));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += n;
    }
    return total;
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
    unsigned char *buf = size >= MIN_JPEG_FILE_BYTES ? static_cast<unsigned char *>(std::malloc(size_t(size))) : nullptr;
    long got = buf ? read_file(fd, buf, size) : -1;
    close(fd);
    int result = got > 0 ? decode_and_draw(x, y, buf, (unsigned long)got) : -1;
    std::free(buf);
    return result;
}
