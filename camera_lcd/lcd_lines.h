// Decoded JPEG lines onto the screen: the format libjpeg decodes lines in for
// a screen, and the store of a line, clipped, in the screen's own format.
#ifndef LCD_LINES_H
#define LCD_LINES_H

#include "lcd.h"

#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

// USE_LIBJPEG_TURBO comes from the build (camera_lcd/CMakeLists.txt): set
// where libjpeg has libjpeg-turbo's extra colour spaces and partial decoding,
// unless the build is told to decode R, G, B lines as with a plain libjpeg.
#if defined(USE_LIBJPEG_TURBO) && !defined(JCS_EXTENSIONS)
#error "USE_LIBJPEG_TURBO set for a libjpeg without libjpeg-turbo's colour spaces"
#endif

// How decoded lines reach the screen.
enum class line_store {
    screen_words, // 4-byte pixels in the screen's format but for bits libjpeg leaves undefined
    screen_bytes, // pixels in the screen's format, every bit of them
    converted,    // pixel words, or R, G, B pixels, converted to the screen's format
};

struct line_format {
    J_COLOR_SPACE colour_space;
    int pixel_bytes; // of a decoded pixel
    line_store store;
    uint32_t colour_bits; // of a screen word; the others are cleared
};

// Decoded straight into the screen's format where libjpeg has it, else in
// pixels that are converted.
line_format choose_line_format(const lcd_screen &screen);

// Draws a decoded line of width pixels whose first pixel belongs at (x, y),
// clipped to the screen. 64-bit sums: positions come from callers.
void draw_line(int64_t x, int64_t y, const unsigned char *pixels, int64_t width,
               const line_format &format);

#endif
