// The LCD device: open, map, store pixels, close.
#include "lcd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

int lcd_fd = -1; // not 0: closing an unopened screen must not close standard input
uint32_t *mmap_fd;
alignas(64) unsigned char g_color_buf[LCD_BYTES];

namespace {

constexpr uint32_t LCD_LINE_BYTES = LCD_WIDTH * LCD_BYTES_PER_PIXEL;

int report(const char *action, const char *call)
{
    int err = errno;
    std::fprintf(stderr, "Unable to %s %s (%s): %s (%d)\n", action, LCD_DEVICE, call,
                 std::strerror(err), err);
    return -1;
}

// Refuses a screen too small for the built-in geometry; mentions one that differs.
int check_screen(int fd)
{
    fb_fix_screeninfo fix = {};
    fb_var_screeninfo var = {};
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0)
        return report("query", "FBIOGET_FSCREENINFO");
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0)
        return report("query", "FBIOGET_VSCREENINFO");
    if (fix.smem_len < LCD_BYTES) {
        std::fprintf(stderr, "Unable to map %s: screen memory is %u bytes, %zu needed\n",
                     LCD_DEVICE, fix.smem_len, LCD_BYTES);
        return -1;
    }
    if (var.xres != LCD_WIDTH || var.yres != LCD_HEIGHT ||
        var.bits_per_pixel != 8 * LCD_BYTES_PER_PIXEL || fix.line_length != LCD_LINE_BYTES)
        std::fprintf(stderr,
                     "%s is %ux%u, %u bits per pixel, %u bytes per line; drawing assumes "
                     "%dx%d, %d bits per pixel, %u bytes per line\n",
                     LCD_DEVICE, var.xres, var.yres, var.bits_per_pixel, fix.line_length, LCD_WIDTH,
                     LCD_HEIGHT, 8 * LCD_BYTES_PER_PIXEL, LCD_LINE_BYTES);
    return 0;
}

} // namespace

int lcd_open(void)
{
    lcd_fd = open(LCD_DEVICE, O_RDWR);
    if (lcd_fd < 0) {
        std::puts("open lcd error");
        return -1;
    }
    return lcd_fd;
}

int mmap_lcd(void)
{
    if (check_screen(lcd_fd) < 0)
        return -1;
    void *screen = mmap(nullptr, LCD_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, lcd_fd, 0);
    if (screen == MAP_FAILED)
        return report("map", "mmap");
    mmap_fd = static_cast<uint32_t *>(screen);
    return lcd_fd;
}

void lcd_close(void)
{
    if (mmap_fd)
        munmap(mmap_fd, LCD_BYTES);
    mmap_fd = nullptr;
    if (lcd_fd >= 0)
        close(lcd_fd);
    lcd_fd = -1;
}
