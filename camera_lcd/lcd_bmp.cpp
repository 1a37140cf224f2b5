// BMP drawing: uncompressed 24- and 32-bit files, loaded whole into
// g_color_buf and stored one pixel at a time with lcd_draw_point.
#include "common.h"
#include "image_input.h"
#include "lcd.h"

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int BMP_HEADER_BYTES = 54; // file header and the 40-byte information header
constexpr int BMP_MASK_BYTES = 12;   // red, green and blue masks right after the 40 bytes
constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint32_t RED_MASK = 0x00FF0000;
constexpr uint32_t GREEN_MASK = 0x0000FF00;
constexpr uint32_t BLUE_MASK = 0x000000FF;

struct bmp_header {
    int32_t width;
    int32_t height; // negative: rows stored top-down
    int bits;
    uint32_t compression;
    uint32_t data_offset;
};

uint32_t get_u16(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t get_u32(const unsigned char *p)
{
    return get_u16(p) | get_u16(p + 2) << 16;
}

// Missing header bytes of a short file read as 0.
bmp_header read_header(int fd)
{
    unsigned char head[BMP_HEADER_BYTES] = {};
    read_all(fd, head, BMP_HEADER_BYTES, 0);
    bmp_header h;
    h.data_offset = get_u32(head + 10);
    h.width = int32_t(get_u32(head + 18));
    h.height = int32_t(get_u32(head + 22));
    h.bits = int(get_u16(head + 28));
    h.compression = get_u32(head + 30);
    return h;
}

// The signed values as stored: a top-down file shows a negative height. The
// lines end in \r\n, and a failed open prints "open bmp error\r": output
// that callers read, kept as it is.
void print_header(const bmp_header &h)
{
    std::printf("bmp_width=%d\r\n", h.width);
    std::printf("bmp_height=%d\r\n", h.height);
    std::printf("bmp_type=%d\r\n", h.bits);
}

// Bit fields are drawable when they only restate the B, G, R byte order; the
// masks follow the 40-byte header, inside the larger V4 and V5 headers too.
bool has_plain_bitfields(int fd)
{
    unsigned char masks[BMP_MASK_BYTES] = {};
    if (read_all(fd, masks, BMP_MASK_BYTES, BMP_HEADER_BYTES) != BMP_MASK_BYTES)
        return false;
    return get_u32(masks) == RED_MASK && get_u32(masks + 4) == GREEN_MASK &&
           get_u32(masks + 8) == BLUE_MASK;
}

// Only uncompressed 24- and 32-bit pixels are drawn: no palettes, 16-bit or run-length data.
int check_format(int fd, const bmp_header &h)
{
    if (h.width <= 0 || h.height == 0)
        return -1;
    if (h.bits == 24 && h.compression == BI_RGB)
        return 0;
    if (h.bits == 32 &&
        (h.compression == BI_RGB || (h.compression == BI_BITFIELDS && has_plain_bitfields(fd))))
        return 0;
    return -1;
}

long long count_rows(const bmp_header &h)
{
    return h.height < 0 ? -(long long)h.height : h.height;
}

// Stored rows are padded to a multiple of 4 bytes.
long long compute_stride(const bmp_header &h)
{
    return (h.width * (long long)(h.bits / 8) + 3) / 4 * 4;
}

// An offset outside the file is not believed; the pixels then follow the 54 header bytes.
long find_pixel_offset(const bmp_header &h, int file_size)
{
    if (h.data_offset >= uint32_t(BMP_HEADER_BYTES) && file_size >= 0 &&
        h.data_offset <= uint32_t(file_size))
        return long(h.data_offset);
    return BMP_HEADER_BYTES;
}

// Loads all pixel rows into g_color_buf; -1 when they would not fit or the file holds fewer.
int load_pixels(int fd, const bmp_header &h, int file_size)
{
    long long stride = compute_stride(h);
    if (stride > (long long)LCD_BYTES || count_rows(h) > (long long)LCD_BYTES / stride)
        return -1;
    long long size = stride * count_rows(h);
    long got = read_all(fd, g_color_buf, long(size), find_pixel_offset(h, file_size));
    return got == size ? 0 : -1;
}

// Draws one stored row at screen line y from column x, skipping what falls off the screen.
void draw_row(long long x, long long y, const unsigned char *row, int width, int pixel_bytes)
{
    if (y < 0 || y >= g_screen.height)
        return;
    long long first = x < 0 ? -x : 0;
    long long end = g_screen.width - x < width ? g_screen.width - x : width;
    for (long long i = first; i < end; i++) {
        const unsigned char *p = row + i * pixel_bytes;
        lcd_draw_point(int(x + i), int(y), uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
    }
}

// Bottom-up files store the image's last line first; both kinds come out upright.
void draw_rows(int x, int y, const bmp_header &h)
{
    long long rows = count_rows(h);
    long long stride = compute_stride(h);
    for (long long i = 0; i < rows; i++) {
        long long line = h.height < 0 ? y + i : y + rows - 1 - i;
        draw_row(x, line, g_color_buf + i * stride, h.width, h.bits / 8);
    }
}

} // namespace

int lcd_draw_bmp(int x, int y, const char *path)
{
    int size = -1;
    int fd = path ? open_regular_image(path, &size) : -1;
    if (fd < 0) {
        std::puts("open bmp error\r");
        return -1;
    }
    bmp_header h = read_header(fd);
    print_header(h);
    int result = check_format(fd, h) == 0 ? load_pixels(fd, h, size) : -1;
    close(fd);
    if (result == 0) {
        draw_rows(x, y, h);
        lcd_finish_picture();
    }
    return result;
}
