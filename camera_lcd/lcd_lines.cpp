#include "lcd_lines.h"

#include <algorithm>
#include <cstring>

namespace {

#ifdef USE_LIBJPEG_TURBO
// Lines to convert are decoded in the pixel word's byte order; only the top
// byte, which libjpeg leaves undefined, has to be cleared.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr J_COLOR_SPACE WORD_COLOR_SPACE = JCS_EXT_BGRX;
#else
constexpr J_COLOR_SPACE WORD_COLOR_SPACE = JCS_EXT_XRGB;
#endif
constexpr int WORD_PIXEL_BYTES = 4;

inline uint32_t pixel_word(const unsigned char *p)
{
    uint32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return bytes & 0x00FFFFFF;
}
#else
constexpr J_COLOR_SPACE WORD_COLOR_SPACE = JCS_RGB;
constexpr int WORD_PIXEL_BYTES = 3;

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

// 16-bit screens take pixel words converted: libjpeg-turbo's own RGB565
// output is slower than its B, G, R, X output and a conversion. The common
// ones have loops of their own, whose shifts the compiler knows.
constexpr pixel_format RGB565_FORMAT = {2, {11, 5, 0}, {5, 6, 0}, {0, 5, 0}};
constexpr pixel_format BGR565_FORMAT = {2, {0, 5, 0}, {5, 6, 0}, {11, 5, 0}};

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

inline void convert_pixel_words(unsigned char *__restrict to, const unsigned char *__restrict from,
                                int count, const pixel_format &format, int bytes_per_pixel)
{
    for (int i = 0; i < count; i++, to += bytes_per_pixel, from += WORD_PIXEL_BYTES)
        store_pixel_value(to, convert_pixel_word(format, pixel_word(from)), bytes_per_pixel);
}

// Pixel words are stored as they are where the screen takes them, else
// converted, with a loop for each common format and pixel size.
void store_pixel_words(unsigned char *to, const unsigned char *from, int count)
{
    const pixel_format format = g_screen.format;
    if (g_screen.stores_pixel_words) {
        for (int i = 0; i < count; i++) {
            uint32_t word = pixel_word(from + WORD_PIXEL_BYTES * i);
            std::memcpy(to + 4 * i, &word, sizeof word);
        }
    } else if (same_pixel_format(format, RGB565_FORMAT)) {
        convert_pixel_words(to, from, count, RGB565_FORMAT, 2);
    } else if (same_pixel_format(format, BGR565_FORMAT)) {
        convert_pixel_words(to, from, count, BGR565_FORMAT, 2);
    } else if (format.bytes_per_pixel == 2) {
        convert_pixel_words(to, from, count, format, 2);
    } else if (format.bytes_per_pixel == 3) {
        convert_pixel_words(to, from, count, format, 3);
    } else {
        convert_pixel_words(to, from, count, format, format.bytes_per_pixel);
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
    return {WORD_COLOR_SPACE, WORD_PIXEL_BYTES, line_store::pixel_words, 0};
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
    case line_store::pixel_words: store_pixel_words(to, from, count); break;
    }
}
