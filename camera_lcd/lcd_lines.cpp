#include "lcd_lines.h"

#include <algorithm>
#include <cstring>

namespace {

// Lines to convert are decoded as pixel words where libjpeg can (B, G, R, X
// in a little-endian word's memory), else as R, G, B. 16-bit screens take
// them converted too: libjpeg-turbo's own RGB565 output is slower than that.
#ifdef USE_LIBJPEG_TURBO
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr J_COLOR_SPACE CONVERTED_COLOR_SPACE = JCS_EXT_BGRX;
#else
constexpr J_COLOR_SPACE CONVERTED_COLOR_SPACE = JCS_EXT_XRGB;
#endif
constexpr pixel_source CONVERTED_SOURCE = pixel_source::pixel_words;
constexpr int CONVERTED_PIXEL_BYTES = 4;
#else
constexpr J_COLOR_SPACE CONVERTED_COLOR_SPACE = JCS_RGB;
constexpr pixel_source CONVERTED_SOURCE = pixel_source::rgb_bytes;
constexpr int CONVERTED_PIXEL_BYTES = 3;
#endif

// libjpeg's output formats that are a screen's own pixel format.
struct screen_colour_space {
    J_COLOR_SPACE colour_space;
    pixel_format format;
};

constexpr screen_colour_space SCREEN_COLOUR_SPACES[] = {
    {JCS_RGB, {3, {0, 8, 0}, {8, 8, 0}, {16, 8, 0}}},
#ifdef USE_LIBJPEG_TURBO
    {JCS_EXT_BGRX, {4, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}}},
    {JCS_EXT_RGBX, {4, {0, 8, 0}, {8, 8, 0}, {16, 8, 0}}},
    {JCS_EXT_XBGR, {4, {24, 8, 0}, {16, 8, 0}, {8, 8, 0}}},
    {JCS_EXT_XRGB, {4, {8, 8, 0}, {16, 8, 0}, {24, 8, 0}}},
    {JCS_EXT_BGR, {3, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}}},
#endif
};

// Stores screen words with the bits no colour uses cleared. Inlined into
// draw_line, the compiler vectorises the loop; unrolled, it keeps up with the
// stores.
void store_screen_words(unsigned char *__restrict to, const unsigned char *__restrict from,
                        int count, uint32_t colour_bits)
{
#pragma GCC unroll 4
    for (int i = 0; i < count; i++) {
        uint32_t word;
        std::memcpy(&word, from + 4 * i, sizeof word);
        word &= colour_bits;
        std::memcpy(to + 4 * i, &word, sizeof word);
    }
}

} // namespace

line_format choose_line_format(const lcd_screen &screen)
{
    for (const screen_colour_space &s : SCREEN_COLOUR_SPACES) {
        if (!same_pixel_format(s.format, screen.format))
            continue;
        int bytes = s.format.bytes_per_pixel;
        line_store store = bytes == 4 ? line_store::screen_words : line_store::screen_bytes;
        return {s.colour_space, bytes, store, convert_pixel_word(s.format, 0x00FFFFFF)};
    }
    return {CONVERTED_COLOR_SPACE, CONVERTED_PIXEL_BYTES, line_store::converted, 0};
}

void draw_line(int64_t x, int64_t y, const unsigned char *pixels, int64_t width,
               const line_format &format)
{
    if (y < 0 || y >= g_screen.height)
        return;
    int64_t first = std::clamp<int64_t>(x, 0, g_screen.width);
    int64_t end = std::min<int64_t>(x + width, g_screen.width);
    if (end <= first)
        return;
    int count = int(end - first);
    const unsigned char *from = pixels + format.pixel_bytes * (first - x);
    unsigned char *to = lcd_line_start(int(y)) + first * g_screen.format.bytes_per_pixel;
    switch (format.store) {
    case line_store::screen_words: store_screen_words(to, from, count, format.colour_bits); break;
    case line_store::screen_bytes:
        std::memcpy(to, from, size_t(count) * size_t(format.pixel_bytes));
        break;
    case line_store::converted:
        store_pixel_line(to, from, size_t(count), CONVERTED_SOURCE, g_screen.format);
        break;
    }
}
