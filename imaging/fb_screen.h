// A framebuffer's screen, taken the one way both programs take it: the
// driver asked what the screen is, the display panned back to the start of
// the memory, the screen checked that it can be drawn on, and its memory
// mapped. Each program tells the faults in its own words.
#ifndef FB_SCREEN_H
#define FB_SCREEN_H

#include "pixel_format.h"

#include <cstddef>
#include <linux/fb.h>

constexpr const char FB_DEVICE[] = "/dev/fb0";

// The driver's two answers. Both queries are made either way, so that each
// program can name the one it has always asked first; a refused one leaves
// its errno here.
struct fb_answers {
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    int var_errno; // 0 when FBIOGET_VSCREENINFO was answered
    int fix_errno; // 0 when FBIOGET_FSCREENINFO was answered
};

// Why a screen cannot be taken, in the order of the steps.
enum class fb_fault {
    none,
    query,  // the driver refused a query: answers say which
    format, // not true colour in whole bytes: palette, monochrome, odd fields
    size,   // no pixels, more than an int counts, or lines shorter than their pixels from xoffset
    memory, // the lines to yoffset + yres reach beyond the screen memory
    map,    // mmap failed: errno says why
};

// The part of the screen memory the display shows: with memory for more
// than one screen (yres_virtual > yres, xres_virtual > xres), the part the
// pan (xoffset, yoffset) says.
struct fb_view {
    std::size_t first_byte; // of the pixel shown top left: yoffset lines, xoffset pixels in
    std::size_t length;     // to the end of the last line shown: what is mapped
};

// A screen taken, or as far as its taking went.
struct fb_mapping {
    fb_answers answers;    // the driver's own, asked again after the pan
    pixel_format format;   // once checked
    fb_view view;          // once checked; length also for a memory fault
    unsigned char *memory; // view.length bytes from the memory's start; null while not mapped
};

// Takes the screen of the framebuffer fd into *fb, which holds no mapping;
// the first fault stops it.
fb_fault fb_map(int fd, fb_mapping *fb);
// Unmaps what fb_map mapped; the answers stay.
void fb_unmap(fb_mapping *fb);

// false when the driver refused either query.
bool fb_query_screen(int fd, fb_answers *answers);

// The screen's pixel format and the part of its memory the display shows, or
// the first fault; view->length is set for a memory fault too.
fb_fault fb_check_screen(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix,
                         pixel_format *format, fb_view *view);

#endif
