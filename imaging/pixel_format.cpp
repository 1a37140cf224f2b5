#include "pixel_format.h"

#include <cstring>

namespace {

constexpr uint32_t MAX_COLOUR_BITS = 8;

// The common 16-bit formats have loops of their own, whose shifts the compiler knows.
constexpr pixel_format RGB565_FORMAT = {2, {11, 5, 0}, {5, 6, 0}, {0, 5, 0}};
constexpr pixel_format BGR565_FORMAT = {2, {0, 5, 0}, {5, 6, 0}, {11, 5, 0}};

// Compared without a sum: an offset near 2^32 plus its length would wrap.
bool colour_fits(const fb_bitfield &field, uint32_t bits_per_pixel)
{
    return field.length >= 1 && field.length <= MAX_COLOUR_BITS && field.offset < bits_per_pixel &&
           field.length <= bits_per_pixel - field.offset;
}

uint32_t colour_mask(const fb_bitfield &field)
{
    return ((1u << field.length) - 1) << field.offset;
}

bool same_field(const fb_bitfield &a, const fb_bitfield &b)
{
    return a.offset == b.offset && a.length == b.length;
}

// The pixel word of a source pixel, from one 4-byte load: for R, G, B, the
// byte after them must be readable.
[[gnu::always_inline]] inline uint32_t load_pixel(const unsigned char *pixel, pixel_source source)
{
    uint32_t bytes;
    std::memcpy(&bytes, pixel, sizeof bytes);
    if (source == pixel_source::pixel_words)
        return bytes & 0x00FFFFFF;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap32(bytes) >> 8;
#else
    return bytes >> 8;
#endif
}

// Inlined with constant sources, formats and sizes, so that each loop
// compiles to plain loads, shifts and stores. The last R, G, B pixel is read
// byte by byte, as it can end the buffer.
[[gnu::always_inline]] inline void convert_line(unsigned char *__restrict to,
                                                const unsigned char *__restrict from,
                                                std::size_t count, pixel_source source,
                                                const pixel_format &format, int bytes_per_pixel)
{
    // The pixel word's own format takes the words as they are.
    bool as_they_are = same_pixel_format(format, PIXEL_WORD_FORMAT);
    std::size_t step = source == pixel_source::rgb_bytes ? 3 : 4;
    std::size_t loaded = source == pixel_source::rgb_bytes && count > 0 ? count - 1 : count;
    std::size_t size = std::size_t(bytes_per_pixel);
    for (std::size_t i = 0; i < loaded; i++) {
        uint32_t word = load_pixel(from + i * step, source);
        store_pixel_value(to + i * size, as_they_are ? word : convert_pixel_word(format, word),
                          bytes_per_pixel);
    }
    if (loaded < count) {
        const unsigned char *last = from + loaded * step;
        uint32_t word = uint32_t(last[0]) << 16 | uint32_t(last[1]) << 8 | last[2];
        store_pixel_value(to + loaded * size, convert_pixel_word(format, word), bytes_per_pixel);
    }
}

[[gnu::always_inline]] inline void convert_to_format(unsigned char *to, const unsigned char *from,
                                                     std::size_t count, pixel_source source,
                                                     const pixel_format &format)
{
    if (same_pixel_format(format, PIXEL_WORD_FORMAT))
        convert_line(to, from, count, source, PIXEL_WORD_FORMAT, 4);
    else if (same_pixel_format(format, RGB565_FORMAT))
        convert_line(to, from, count, source, RGB565_FORMAT, 2);
    else if (same_pixel_format(format, BGR565_FORMAT))
        convert_line(to, from, count, source, BGR565_FORMAT, 2);
    else if (format.bytes_per_pixel == 4)
        convert_line(to, from, count, source, format, 4);
    else if (format.bytes_per_pixel == 3)
        convert_line(to, from, count, source, format, 3);
    else if (format.bytes_per_pixel == 2)
        convert_line(to, from, count, source, format, 2);
    else
        convert_line(to, from, count, source, format, 1);
}

} // namespace

void store_pixel_line(unsigned char *to, const unsigned char *from, std::size_t count,
                      pixel_source source, const pixel_format &format)
{
    if (source == pixel_source::rgb_bytes)
        convert_to_format(to, from, count, pixel_source::rgb_bytes, format);
    else
        convert_to_format(to, from, count, pixel_source::pixel_words, format);
}

bool describe_pixel_format(const fb_var_screeninfo &var, uint32_t visual, pixel_format *format)
{
    uint32_t bpp = var.bits_per_pixel;
    if (visual != FB_VISUAL_TRUECOLOR || bpp % 8 != 0 || bpp < 8 || bpp > 32)
        return false;
    if (!colour_fits(var.red, bpp) || !colour_fits(var.green, bpp) || !colour_fits(var.blue, bpp))
        return false;
    uint32_t red = colour_mask(var.red), green = colour_mask(var.green),
             blue = colour_mask(var.blue);
    if ((red & green) != 0 || (red & blue) != 0 || (green & blue) != 0)
        return false;
    *format = {int(bpp / 8), var.red, var.green, var.blue};
    return true;
}

bool same_pixel_format(const pixel_format &a, const pixel_format &b)
{
    return a.bytes_per_pixel == b.bytes_per_pixel && same_field(a.red, b.red) &&
           same_field(a.green, b.green) && same_field(a.blue, b.blue);
}
