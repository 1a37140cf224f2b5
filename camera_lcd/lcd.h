// The LCD drawing module: one 800 x 480 x 32-bit framebuffer per process,
// pixels stored as words 0x00RRGGBB, images drawn clipped to the screen.
#ifndef LCD_H
#define LCD_H

#include <cstddef>
#include <cstdint>

constexpr const char LCD_DEVICE[] = "/dev/fb0";
constexpr int LCD_WIDTH = 800; // also the line stride in pixels
constexpr int LCD_HEIGHT = 480;
constexpr int LCD_BYTES_PER_PIXEL = 4;
constexpr std::size_t LCD_BYTES = std::size_t(LCD_WIDTH) * LCD_HEIGHT * LCD_BYTES_PER_PIXEL;

// The names lcd_fd, mmap_fd and the functions below are the module's interface;
// mmap_fd is a pixel pointer despite its name. Keep them.
extern int lcd_fd;                           // the open screen, -1 after a failed open
extern uint32_t *mmap_fd;                    // the mapped screen, null while not mapped
extern unsigned char g_color_buf[LCD_BYTES]; // the module's working buffer

// Returns the descriptor, or -1 after printing "open lcd error" (a message
// callers match: keep it).
int lcd_open(void);
// Maps the screen; returns lcd_fd (the descriptor, as callers expect), or -1
// after one line on standard error when the screen cannot be queried, is too
// small or cannot be mapped.
int mmap_lcd(void);
// Stores one pixel word; points off the screen, or while it is not mapped, are
// skipped. Inline: every pixel of every picture comes through here, and a
// drawing loop that has clipped its line lets the compiler drop the checks.
inline void lcd_draw_point(int x, int y, uint32_t color)
{
    if (unsigned(x) >= unsigned(LCD_WIDTH) || unsigned(y) >= unsigned(LCD_HEIGHT) || !mmap_fd)
        return;
    mmap_fd[y * LCD_WIDTH + x] = color;
}
void lcd_close(void);

// Decodes jpeg_size bytes of JPEG data and draws the image with its
// top-left corner at (x, y). Returns 0, or -1 when the image cannot be drawn:
// data libjpeg cannot decode stops the drawing there (the lines drawn stay).
int show_video_data(int x, int y, const unsigned char *jpeg_data, int jpeg_size);
// The same for a JPEG file; -1 also for a null path, an unopenable or
// unreadable file, or one shorter than 3,000 bytes.
int lcd_draw_jpg(int x, int y, const char *path);

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
// Draws an uncompressed 24- or 32-bit BMP file with its top-left corner at
// (x, y), clipped to the screen, after printing its width, height and bit
// count. Returns 0; -1 when the file cannot be opened (after "open bmp error"),
// or, with nothing drawn, when its format is not drawable or its pixel data
// is short or would not fit in g_color_buf.
int lcd_draw_bmp(int x, int y, const char *path);

#endif
