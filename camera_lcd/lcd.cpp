// The LCD device: open /dev/fb0 (else a DRM panel), ask the driver what the
// screen is, map it, close; and the store of a pixel word converted to a
// screen of another format (lcd.h stores the pixel word itself, inline).
#include "lcd.h"
#include "lcd_drm.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

constexpr std::size_t LCD_LINE_BYTES = std::size_t(LCD_WIDTH) * LCD_BYTES_PER_PIXEL;

int lcd_fd = -1; // not 0: closing an unopened screen must not close standard input
uint32_t *mmap_fd;
lcd_screen g_screen = {LCD_WIDTH, LCD_HEIGHT, LCD_LINE_BYTES, PIXEL_WORD_FORMAT, true, LCD_BYTES};
alignas(64) unsigned char g_color_buf[LCD_BYTES];

namespace {

bool g_on_drm; // the screen is a DRM buffer, not /dev/fb0

int report(const char *action, const char *call)
{
    int err = errno;
    std::fprintf(stderr, "Unable to %s %s (%s): %s (%d)\n", action, LCD_DEVICE, call,
                 std::strerror(err), err);
    return -1;
}

const char *name_visual(uint32_t visual)
{
    switch (visual) {
    case FB_VISUAL_TRUECOLOR: return "true-colour";
    case FB_VISUAL_PSEUDOCOLOR: return "palette";
    case FB_VISUAL_STATIC_PSEUDOCOLOR: return "fixed-palette";
    case FB_VISUAL_DIRECTCOLOR: return "direct-colour";
    case FB_VISUAL_MONO01:
    case FB_VISUAL_MONO10: return "monochrome";
    default: return "unknown";
    }
}

int query_fb(int fd, lcd_screen *screen)
{
    fb_fix_screeninfo fix = {};
    fb_var_screeninfo var = {};
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0)
        return report("query", "FBIOGET_FSCREENINFO");
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0)
        return report("query", "FBIOGET_VSCREENINFO");
    return lcd_describe_fb(var, fix, screen);
}

std::size_t count_screen_bytes(const lcd_screen &screen)
{
    return screen.line_bytes * std::size_t(screen.height);
}

// Draws on the screen at pixels from now on.
void use_screen(const lcd_screen &screen, void *pixels)
{
    g_screen = screen;
    mmap_fd = static_cast<uint32_t *>(pixels);
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

// A DRM buffer holds pixel words (XRGB8888) in lines of its pitch.
int map_drm()
{
    drm_screen drm;
    if (drm_map_screen(&drm) < 0)
        return -1;
    lcd_screen screen = {
        drm.width, drm.height, drm.line_bytes, PIXEL_WORD_FORMAT, drm.line_bytes % 4 == 0,
        drm.length};
    use_screen(screen, drm.pixels);
    return lcd_fd;
}

} // namespace

int lcd_describe_fb(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix, lcd_screen *screen)
{
    pixel_format format;
    if (!describe_pixel_format(var, fix.visual, &format)) {
        std::fprintf(stderr, "Unable to draw on %s: %s screen of %u bits per pixel\n", LCD_DEVICE,
                     name_visual(fix.visual), var.bits_per_pixel);
        return -1;
    }
    uint64_t pixel_bytes = uint64_t(var.xres) * uint64_t(format.bytes_per_pixel);
    if (var.xres == 0 || var.yres == 0 || var.xres > INT_MAX || var.yres > INT_MAX ||
        fix.line_length < pixel_bytes) {
        std::fprintf(stderr, "Unable to draw on %s: %ux%u pixels of %u bits in lines of %u bytes\n",
                     LCD_DEVICE, var.xres, var.yres, var.bits_per_pixel, fix.line_length);
        return -1;
    }
    bool word_lines = same_pixel_format(format, PIXEL_WORD_FORMAT) && fix.line_length % 4 == 0;
    *screen = {int(var.xres), int(var.yres), fix.line_length, format, word_lines, fix.smem_len};
    return 0;
}

int lcd_map_screen(int fd, const lcd_screen &screen)
{
    uint64_t length = uint64_t(screen.line_bytes) * uint64_t(screen.height);
    if (length > screen.memory_bytes) {
        std::fprintf(stderr, "Unable to map %s: screen memory is %zu bytes, %llu needed\n",
                     LCD_DEVICE, screen.memory_bytes, (unsigned long long)length);
        return -1;
    }
    void *memory = mmap(nullptr, std::size_t(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED)
        return report("map", "mmap");
    use_screen(screen, memory);
    return 0;
}

void lcd_store_converted(int x, int y, uint32_t color)
{
    const pixel_format &format = g_screen.format;
    unsigned char *pixel = lcd_line_start(y) + std::size_t(x) * unsigned(format.bytes_per_pixel);
    store_pixel_value(pixel, convert_pixel_word(format, color), format.bytes_per_pixel);
}

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
    lcd_screen screen;
    if (query_fb(lcd_fd, &screen) < 0 || lcd_map_screen(lcd_fd, screen) < 0)
        return -1;
    return lcd_fd;
}

void lcd_close(void)
{
    if (g_on_drm) {
        drm_close_screen(); // unmaps the buffer and closes lcd_fd
    } else {
        if (mmap_fd)
            munmap(mmap_fd, count_screen_bytes(g_screen));
        if (lcd_fd >= 0)
            close(lcd_fd);
    }
    mmap_fd = nullptr;
    lcd_fd = -1;
    g_on_drm = false;
}
