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
    size,   // no pixels, more than an int counts, or lines shorter than their pixels from xoffset
    memory, // the lines to yoffset + yres reach beyond the screen memory
};

// The part of the screen memory the display shows: with memory for more
// than one screen (yres_virtual > yres, xres_virtual > xres), the part the
// pan (xoffset, yoffset) says.
struct fb_view {
    std::size_t first_byte; // of the pixel shown top left: yoffset lines, xoffset pixels in
    std::size_t length;     // to the end of the last line shown: what is mapped
};

// false when the driver refused either query.
bool fb_query_screen(int fd, fb_answers *answers);

// The screen's pixel format and the part of its memory the display shows, or
// the first fault; view->length is set for a memory fault too.
fb_fault fb_check_screen(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix,
                         pixel_format *format, fb_view *view);

// Pans the display back to the start of the screen memory, where a console
// that scrolled or a program that flipped pages left it elsewhere, and asks
// the driver again. Drawing then goes to the memory the display shows
// also on drivers that report a pan they do not show (bochs). A driver that
// refuses keeps its pan in answers, and drawing follows it.
void fb_pan_to_start(int fd, fb_answers *answers);

// The first length bytes of the screen, shared, for reading and writing; null
// when mmap fails, errno saying why.
unsigned char *fb_map_screen(int fd, std::size_t length);

#endif
