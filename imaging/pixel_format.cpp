#include "pixel_format.h"

namespace {

constexpr uint32_t MAX_COLOUR_BITS = 8;

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

} // namespace

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
