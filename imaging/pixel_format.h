// How a screen keeps the colours of a pixel, read from the framebuffer
// driver's bitfields, and the conversion of a pixel word (0x00RRGGBB), or a
// line of them or of R, G, B pixels, into it. Shared by the live view's LCD module and the
// viewer's pixel writer.
#ifndef PIXEL_FORMAT_H
#define PIXEL_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/fb.h>

// A pixel is a value of bytes_per_pixel bytes, stored least significant byte
// first, each colour in the bits its field names.
struct pixel_format {
    int bytes_per_pixel;
    fb_bitfield red, green, blue;
};

// The pixel word's own format: 32 bits, bytes B, G, R, 0 in memory.
constexpr pixel_format PIXEL_WORD_FORMAT = {4, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}};

// The format of a true-colour screen of 8 to 32 bits in whole bytes whose
// colours each have 1 to 8 bits of their own; false for palette, monochrome
// and other screens, which cannot be drawn on.
bool describe_pixel_format(const fb_var_screeninfo &var, uint32_t visual, pixel_format *format);

bool same_pixel_format(const pixel_format &a, const pixel_format &b);

// A colour level's top bits, moved to where the field keeps them.
inline uint32_t place_colour(uint32_t level, const fb_bitfield &field)
{
    return (level >> (8 - field.length)) << field.offset;
}

// The screen's value for a pixel word: bits outside the three colours are 0.
inline uint32_t convert_pixel_word(const pixel_format &format, uint32_t word)
{
    return place_colour(word >> 16 & 0xFF, format.red) |
           place_colour(word >> 8 & 0xFF, format.green) | place_colour(word & 0xFF, format.blue);
}

// Stores a screen value at pixel; each size has its own branch so that a loop
// over one screen's pixels compiles to plain stores of that size.
inline void store_pixel_value(unsigned char *pixel, uint32_t value, int bytes_per_pixel)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (bytes_per_pixel == 4) { // one store where the compiler would not merge the four
        std::memcpy(pixel, &value, sizeof value);
        return;
    }
#endif
    if (bytes_per_pixel == 4) {
        pixel[0] = uint8_t(value), pixel[1] = uint8_t(value >> 8);
        pixel[2] = uint8_t(value >> 16), pixel[3] = uint8_t(value >> 24);
    } else if (bytes_per_pixel == 3) {
        pixel[0] = uint8_t(value), pixel[1] = uint8_t(value >> 8), pixel[2] = uint8_t(value >> 16);
    } else if (bytes_per_pixel == 2) {
        pixel[0] = uint8_t(value), pixel[1] = uint8_t(value >> 8);
    } else {
        pixel[0] = uint8_t(value);
    }
}

// How the pixels of a line to convert are given.
enum class pixel_source {
    rgb_bytes,   // 3 bytes: R, G, B
    pixel_words, // 4 bytes: a pixel word in native byte order, its top byte ignored
};

// Stores count pixels in the screen's format, bits outside the three colours 0.
void store_pixel_line(unsigned char *to, const unsigned char *from, std::size_t count,
                      pixel_source source, const pixel_format &format);

#endif
