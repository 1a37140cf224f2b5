// The LCD device: open, map, store pixels, close.
#include "lcd.h"
#include "lcd_drm.h"

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

bool g_on_drm; // the screen is a DRM buffer, not /dev/fb0

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

// Without /dev/fb0, the first DRM device with a panel. "open lcd error" only
// when there is none: a device that is there but unusable has said why.
int open_drm()
{
    int fd = drm_open_screen();
    g_on_drm = fd >= 0;
    lcd_fd = fd >= 0 ? fd : -1;
    if (fd == DRM_SCREEN_ABSENT)
        std::puts("open lcd error");
    return lcd_fd;
}

// Drawing assumes the built-in geometry; a DRM mode that differs is refused.
int map_drm()
{
    drm_screen screen;
    if (drm_map_screen(&screen) < 0)
        return -1;
    if (screen.width != LCD_WIDTH || screen.height != LCD_HEIGHT ||
        screen.line_bytes != LCD_LINE_BYTES) {
        std::fprintf(stderr,
                     "Unable to draw on a DRM screen of %dx%d, %u bytes per line: drawing "
                     "assumes %dx%d, %u bytes per line\n",
                     screen.width, screen.height, screen.line_bytes, LCD_WIDTH, LCD_HEIGHT,
                     LCD_LINE_BYTES);
        return -1;
    }
    mmap_fd = screen.pixels;
    return lcd_fd;
}

} // namespace

int lcd_open(void)
{
    lcd_fd = open(LCD_DEVICE, O_RDWR);
    if (lcd_fd < 0 && errno == ENOENT)
        return open_drm();
    if (lcd_fd < 0) {
        std::puts("open lcd error");
        return -1;
    }
    return lcd_fd;
}

int mmap_lcd(void)
{
    if (g_on_drm)
        return map_drm();
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
    if (g_on_drm) {
        drm_close_screen(); // unmaps the buffer and closes lcd_fd
    } else {
        if (mmap_fd)
            munmap(mmap_fd, LCD_BYTES);
        if (lcd_fd >= 0)
            close(lcd_fd);
    }
    mmap_fd = nullptr;
    lcd_fd = -1;
    g_on_drm = false;
}
