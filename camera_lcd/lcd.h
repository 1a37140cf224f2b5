// The LCD drawing module: one framebuffer per process, described by its
// driver, pixels given as words 0x00RRGGBB and stored in the screen's own
// format, images drawn clipped to the screen.
#ifndef LCD_H
#define LCD_H

#include "fb_screen.h"
#include "lcd_api.h" // lcd_open, mmap_lcd, lcd_close and the drawing calls
#include "panel.h"
#include "pixel_format.h"

#include <cstddef>
#include <cstdint>

// The panel the module was built for (panel.h) is what it draws on until
// mmap_lcd asks the driver, and the size of its working buffer.
constexpr int LCD_BYTES_PER_PIXEL = 4;
constexpr std::size_t LCD_BYTES = std::size_t(LCD_WIDTH) * LCD_HEIGHT * LCD_BYTES_PER_PIXEL;

// What drawing knows of the screen. Filled from the framebuffer driver's
// answers; another source of a mapped screen fills the same fields.
struct lcd_screen {
    int width;                // visible pixels per line
    int height;               // visible lines
    std::size_t line_bytes;   // from the start of one line to the next
    pixel_format format;      // bytes per pixel and where each colour lives
    bool stores_pixel_words;  // the pixel word's own format on 4-byte lines: stored as given
    std::size_t first_byte;   // of the pixel shown top left, in the mapped memory: the pan
    std::size_t memory_bytes; // mapped: from the memory's start to the last line shown
};

// Where the module draws. lcd_open chooses, and it alone: /dev/fb0 where the
// system has it, else the first DRM device with a panel (lcd_drm.h). mmap_lcd,
// lcd_finish_picture and lcd_close each switch on the choice; drawing itself
// only sees mmap_fd and g_screen, whichever it is.
enum class lcd_backend { framebuffer, drm };

// The names lcd_fd, mmap_fd, the functions below and those of lcd_api.h are
// the module's interface; mmap_fd is a pixel pointer despite its name. Keep them.
extern int lcd_fd;                           // the open screen, -1 after a failed open
extern uint32_t *mmap_fd;                    // the pixel shown top left, null while not mapped
extern lcd_screen g_screen;                  // the screen mmap_fd points at
extern lcd_backend g_lcd_backend;            // set by lcd_open, framebuffer again after lcd_close
extern unsigned char g_color_buf[LCD_BYTES]; // the module's working buffer

// What lcd_follow_screen found before a frame.
enum class lcd_screen_change {
    none,    // the screen as it was
    changed, // another mode or pan, or a display back: mapped or shown anew, told in one line
    refused, // a mode drawing cannot use, told in one line: not mapped until it changes again
    gone,    // the driver went away (ENODEV): the screen is closed
};
// Asks the driver whether the screen is still the one mapped: two queries of
// the framebuffer, one of a DRM connector. Nothing to do without a screen.
lcd_screen_change lcd_follow_screen(void);
// Opens /dev/fb0 again after it went away and maps it, or keeps it open
// unmapped in a mode drawing cannot use (told, and followed); -1 while it is
// not back or cannot be mapped (the mapping's failure told once).
int lcd_reopen_screen(void);

// Describes a framebuffer from its driver's answers, as mmap_lcd does; -1
// after one line on standard error for a screen drawing cannot use (palette,
// monochrome, lines too short for their pixels, more lines than its memory
// holds).
int lcd_describe_fb(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix, lcd_screen *screen);

// The first byte of screen line y.
inline unsigned char *lcd_line_start(int y)
{
    return reinterpret_cast<unsigned char *>(mmap_fd) + std::size_t(y) * g_screen.line_bytes;
}
// Stores a pixel word converted to the screen's format.
void lcd_store_converted(int x, int y, uint32_t color);
// Stores one pixel word; points off the screen, or while it is not mapped, are
// skipped. Inline: every pixel of a BMP comes through here.
inline void lcd_draw_point(int x, int y, uint32_t color)
{
    if (unsigned(x) >= unsigned(g_screen.width) || unsigned(y) >= unsigned(g_screen.height) ||
        !mmap_fd)
        return;
    if (g_screen.stores_pixel_words)
        mmap_fd[std::size_t(y) * (g_screen.line_bytes / 4) + unsigned(x)] = color;
    else
        lcd_store_converted(x, y, color);
}
// Ends each picture, drawn whole or in part: a DRM screen is marked dirty,
// as drivers that copy the buffer to the display need; a framebuffer shows
// its memory as it is written.
void lcd_finish_picture(void);

// What libjpeg said about the last image show_video_data or lcd_draw_jpg
// decoded: its distinct warnings and its fatal error, each with libjpeg's
// message code (the text's numbers vary from image to image, the code not).
constexpr int JPEG_MESSAGE_BYTES = 200; // libjpeg's JMSG_LENGTH_MAX
constexpr int JPEG_MESSAGES_KEPT = 4;
constexpr int JPEG_UNDRAWABLE_COLOURS = 1000; // our own code: not libjpeg's, whose are < 1000
struct jpeg_message {
    int code;
    char text[JPEG_MESSAGE_BYTES];
};
struct jpeg_report {
    bool failed;  // not decoded to its end: the last message says why
    int warnings; // libjpeg's count, repeats included
    int count;    // messages kept
    jpeg_message messages[JPEG_MESSAGES_KEPT];
};
extern jpeg_report g_jpeg_report;
// true (at start): libjpeg's messages go to standard error as its standard
// error manager prints them, the fatal error and each image's first warning.
// false: they are only kept in g_jpeg_report, for the caller to report.
extern bool g_jpeg_print_messages;

#endif
