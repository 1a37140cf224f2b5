#include "pixel_format.h"

namespace {

constexpr uint32_t MAX_COLOUR_BITS = 8;

// The common 16-bit formats have loops of their own, whose shifts the compiler knows.
constexpr pixel_format RGB565_FORMAT = {2, {11, 5, 0}, {5, 6, 0}, {0, 5, 0}};
constexpr pixel_format BGR565_FORMAT = {2, {0, 5, 0}, {5, 6, 0}, {11, 5, 0}};

bool colour_fits(const fb_bitfield &field, uint32_t bits_per_pixel)
{
    return field.length >= 1 && field.length <= MAX_COLOUR_BITS &&
           field.offset + field.length <= bits_per_pixel;
}

uint32_t colour_mask(const fb_bitfield &field)
{
    return ((1u << field.length) - 1) << field.offset;
}

bool same_field(const fb_bitfield &a, const fb_bitfield &b)
{
    return a.offset == b.offset && a.length == b.length;
}

uint32_t convert_rgb(const pixel_format &format, const unsigned char *rgb)
{
    return place_colour(rgb[0], format.red) | place_colour(rgb[1], format.green) |
           place_colour(rgb[2], format.blue);
}

// Inlined with constant sizes and formats, so that each loop compiles to
// plain loads, shifts and stores.
inline void convert_line(unsigned char *__restrict to, const unsigned char *__restrict from,
                         std::size_t count, int source_bytes, const pixel_format &format,
                         int bytes_per_pixel)
{
    for (std::size_t i = 0; i < count; i++, to += bytes_per_pixel, from += source_bytes)
        store_pixel_value(to, convert_rgb(format, from), bytes_per_pixel);
}

inline void convert_line_to(unsigned char *to, const unsigned char *from, std::size_t count,
                            int source_bytes, const pixel_format &format)
{
    if (same_pixel_format(format, PIXEL_WORD_FORMAT))
        convert_line(to, from, count, source_bytes, PIXEL_WORD_FORMAT, 4);
    else if (same_pixel_format(format, RGB565_FORMAT))
        convert_line(to, from, count, source_bytes, RGB565_FORMAT, 2);
    else if (same_pixel_format(format, BGR565_FORMAT))
        convert_line(to, from, count, source_bytes, BGR565_FORMAT, 2);
    else if (format.bytes_per_pixel == 4)
        convert_line(to, from, count, source_bytes, format, 4);
    else if (format.bytes_per_pixel == 3)
        convert_line(to, from, count, source_bytes, format, 3);
    else if (format.bytes_per_pixel == 2)
        convert_line(to, from, count, source_bytes, format, 2);
    else
        convert_line(to, from, count, source_bytes, format, 1);
}

} // namespace

void store_rgb_line(unsigned char *to, const unsigned char *from, std::size_t count,
                    int source_bytes, const pixel_format &format)
{
    // libjpeg's R, G, B lines, and libjpeg-turbo's R, G, B, X
    if (source_bytes == 3)
        convert_line_to(to, from, count, 3, format);
    else if (source_bytes == 4)
        convert_line_to(to, from, count, 4, format);
    else
        convert_line_to(to, from, count, source_bytes, format);
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
