// A framebuffer's screen from its driver's answers: asked for, checked that
// it can be drawn on, and mapped. Both programs take these steps; each tells
// their faults in its own words.
#ifndef FB_SCREEN_H
#define FB_SCREEN_H

#include "pixel_format.h"

#include <cstddef>
#include <linux/fb.h>

// The driver's two answers. Both queries are made either way, so that each
// program can name the one it has always asked first; a refused one leaves
// its errno here.
struct fb_answers {
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    int var_errno; // 0 when FBIOGET_VSCREENINFO was answered
    int fix_errno; // 0 when FBIOGET_FSCREENINFO was answered
};

// Why a screen cannot be drawn on, in the order the checks run.
enum class fb_fault {
    none,
    format, // not true colour in whole bytes: palette, monochrome, odd fields
    size,   // no pixels, more than an int counts, or lines shorter than their pixels
    memory, // line_length x yres bytes are more than the screen memory
};

// false when the driver refused either query.
bool fb_query_screen(int fd, fb_answers *answers);

// The screen's pixel format and the bytes its lines take (line_length x
// yres, what is mapped), or the first fault.
fb_fault fb_check_screen(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix,
                         pixel_format *format, std::size_t *length);

// The first length bytes of the screen, shared, for reading and writing; null
// when mmap fails, errno saying why.
unsigned char *fb_map_screen(int fd, std::size_t length);

#endif
