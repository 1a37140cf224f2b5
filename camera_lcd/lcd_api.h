// The LCD drawing module's calls, for programs that draw on the board's
// screen: open and map the screen once, draw JPEG images (from memory or a
// file) and BMP files with their top-left corner at any position, clipped to
// the screen and over what it shows, and close it. One screen per process,
// one call at a time. Messages go to standard output and standard error as
// each call says; callers match them, so they stay as they are.
#ifndef LCD_API_H
#define LCD_API_H

// lcd_draw_jpg draws no file shorter than this.
constexpr int LCD_MIN_JPEG_FILE_BYTES = 3000;

// Opens /dev/fb0, or where there is none the first DRM device with a
// connected display. Returns the descriptor, or -1 after printing
// "open lcd error" on standard output.
int lcd_open(void);
// Asks the driver what the screen is and maps it; returns the descriptor, or
// -1 after one line on standard error when the screen cannot be queried,
// drawn on or mapped. On DRM it shows a new, black buffer, which lasts as
// long as the process.
int mmap_lcd(void);
// Unmaps the screen and closes it; the next lcd_open starts afresh.
void lcd_close(void);

// Decodes jpeg_size bytes of JPEG data (a camera frame) and draws the image
// with its top-left corner at (x, y). Returns 0, or -1 when it cannot be
// drawn, after libjpeg's message on standard error: data libjpeg cannot
// decode stops the drawing there (the lines drawn stay).
int show_video_data(int x, int y, const unsigned char *jpeg_data, int jpeg_size);
// The same for a JPEG file; -1 also for a null path, a file that cannot be
// opened ("open <path> error" on standard output) or read, or one shorter
// than LCD_MIN_JPEG_FILE_BYTES.
int lcd_draw_jpg(int x, int y, const char *path);
// Draws an uncompressed 24- or 32-bit BMP file with its top-left corner at
// (x, y), after printing its width, height and bit count on standard output
// ("bmp_width=%d\r\n", "bmp_height=%d\r\n", "bmp_type=%d\r\n"). Returns 0; -1
// when the file cannot be opened (after "open bmp error\r" and a newline), or,
// with nothing drawn, when its format is not drawable or its pixel data is
// short or larger than one 800 x 480 screen of 32-bit pixels.
int lcd_draw_bmp(int x, int y, const char *path);

#endif
