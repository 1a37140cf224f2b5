// The LCD device: open /dev/fb0 (else a DRM panel), ask the driver what the
// screen is, map it, end pictures, close; and the store of a pixel word
// converted to a screen of another format (lcd.h stores the pixel word itself, inline).
#include "lcd.h"
#include "common.h"
#include "fb_screen.h"
#include "lcd_drm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

constexpr std::size_t LCD_LINE_BYTES = std::size_t(LCD_WIDTH) * LCD_BYTES_PER_PIXEL;

int lcd_fd = -1; // not 0: closing an unopened screen must not close standard input
uint32_t *mmap_fd;
lcd_screen g_screen = {LCD_WIDTH, LCD_HEIGHT, LCD_LINE_BYTES, PIXEL_WORD_FORMAT,
                       true,      0,          LCD_BYTES};
lcd_backend g_lcd_backend = lcd_backend::framebuffer;
alignas(64) unsigned char g_color_buf[LCD_BYTES];

namespace {

fb_answers g_fb_answers; // the driver's, for the screen mapped or refused last

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

// Draws on the screen mapped at memory from now on.
void use_screen(const lcd_screen &screen, unsigned char *memory)
{
    g_screen = screen;
    mmap_fd = reinterpret_cast<uint32_t *>(memory + screen.first_byte);
}

void unmap_fb()
{
    if (mmap_fd)
        munmap(reinterpret_cast<unsigned char *>(mmap_fd) - g_screen.first_byte,
               g_screen.memory_bytes);
    mmap_fd = nullptr;
}

// Maps the screen the driver's answers describe, its display panned back to
// the start of the memory first. The answers are kept, for a screen refused
// too, so that each change is told once.
int map_answered(fb_answers answers)
{
    fb_pan_to_start(lcd_fd, &answers);
    g_fb_answers = answers;
    lcd_screen screen;
    if (lcd_describe_fb(answers.var, answers.fix, &screen) < 0)
        return -1;
    unsigned char *memory = fb_map_screen(lcd_fd, screen.memory_bytes);
    if (!memory)
        return report_failure("map %s (mmap)", LCD_DEVICE);
    use_screen(screen, memory);
    return lcd_fd;
}

// /dev/fb0 as its driver describes it. A refused query is named by the one
// the module asks first, FBIOGET_FSCREENINFO.
int map_fb()
{
    fb_answers answers;
    if (!fb_query_screen(lcd_fd, &answers)) {
        bool fix_refused = answers.fix_errno != 0;
        errno = fix_refused ? answers.fix_errno : answers.var_errno;
        return report_failure("query %s (%s)", LCD_DEVICE,
                              fix_refused ? "FBIOGET_FSCREENINFO" : "FBIOGET_VSCREENINFO");
    }
    return map_answered(answers);
}

// Another mode, line length, memory or pan.
bool is_same_screen(const fb_answers &now, const fb_answers &before)
{
    const fb_fix_screeninfo &a = now.fix, &b = before.fix;
    return std::memcmp(&now.var, &before.var, sizeof now.var) == 0 &&
           a.smem_start == b.smem_start && a.smem_len == b.smem_len && a.visual == b.visual &&
           a.line_length == b.line_length;
}

void tell_change(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix)
{
    char pan[48] = "";
    if (var.xoffset || var.yoffset)
        std::snprintf(pan, sizeof pan, ", panned to (%u, %u)", var.xoffset, var.yoffset);
    std::fprintf(stderr, "The screen %s changed to %ux%u, %u bits per pixel, lines of %u bytes%s\n",
                 LCD_DEVICE, var.xres, var.yres, var.bits_per_pixel, fix.line_length, pan);
}

lcd_screen_change follow_fb()
{
    fb_answers now;
    if (!fb_query_screen(lcd_fd, &now)) {
        if (now.var_errno != ENODEV && now.fix_errno != ENODEV)
            return lcd_screen_change::none; // a passing refusal: drawn on as it was
        lcd_close();
        return lcd_screen_change::gone;
    }
    if (is_same_screen(now, g_fb_answers))
        return lcd_screen_change::none;
    unmap_fb();
    if (map_answered(now) < 0)
        return lcd_screen_change::refused;
    tell_change(now.var, now.fix);
    return lcd_screen_change::changed;
}

// Without /dev/fb0, the first DRM device with a panel. "open lcd error" only
// when there is none: a device that is there but unusable has said why.
int open_drm()
{
    int fd = drm_open_screen();
    if (fd >= 0)
        g_lcd_backend = lcd_backend::drm;
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
        0,         drm.length};
    use_screen(screen, reinterpret_cast<unsigned char *>(drm.pixels));
    return lcd_fd;
}

} // namespace

int lcd_describe_fb(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix, lcd_screen *screen)
{
    pixel_format format;
    fb_view view = {};
    switch (fb_check_screen(var, fix, &format, &view)) {
    case fb_fault::none: break;
    case fb_fault::format:
        std::fprintf(stderr, "Unable to draw on %s: %s screen of %u bits per pixel\n", LCD_DEVICE,
                     name_visual(fix.visual), var.bits_per_pixel);
        return -1;
    case fb_fault::size:
        std::fprintf(stderr, "Unable to draw on %s: %ux%u pixels of %u bits in lines of %u bytes\n",
                     LCD_DEVICE, var.xres, var.yres, var.bits_per_pixel, fix.line_length);
        return -1;
    case fb_fault::memory:
        std::fprintf(stderr, "Unable to map %s: screen memory is %u bytes, %zu needed\n",
                     LCD_DEVICE, fix.smem_len, view.length);
        return -1;
    }
    bool word_lines = same_pixel_format(format, PIXEL_WORD_FORMAT) && fix.line_length % 4 == 0;
    *screen = {int(var.xres), int(var.yres),   fix.line_length, format,
               word_lines,    view.first_byte, view.length};
    return 0;
}

void lcd_store_converted(int x, int y, uint32_t color)
{
    const pixel_format &format = g_screen.format;
    unsigned char *pixel = lcd_line_start(y) + std::size_t(x) * unsigned(format.bytes_per_pixel);
    store_pixel_value(pixel, convert_pixel_word(format, color), format.bytes_per_pixel);
}

// The one place the backend is chosen.
int lcd_open(void)
{
    g_lcd_backend = lcd_backend::framebuffer;
    lcd_fd = open(LCD_DEVICE, O_RDWR | O_CLOEXEC);
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
    switch (g_lcd_backend) {
    case lcd_backend::drm: return map_drm();
    case lcd_backend::framebuffer: break;
    }
    return map_fb();
}

void lcd_finish_picture(void)
{
    switch (g_lcd_backend) {
    case lcd_backend::drm: drm_mark_dirty(); break;
    case lcd_backend::framebuffer: break;
    }
}

void lcd_close(void)
{
    switch (g_lcd_backend) {
    case lcd_backend::drm: drm_close_screen(); break; // unmaps the buffer and closes lcd_fd
    case lcd_backend::framebuffer:
        unmap_fb();
        if (lcd_fd >= 0)
            close(lcd_fd);
        break;
    }
    mmap_fd = nullptr;
    lcd_fd = -1;
    g_lcd_backend = lcd_backend::framebuffer;
}

lcd_screen_change lcd_follow_screen(void)
{
    if (lcd_fd < 0)
        return lcd_screen_change::none;
    switch (g_lcd_backend) {
    case lcd_backend::drm:
        return drm_follow_display() ? lcd_screen_change::changed : lcd_screen_change::none;
    case lcd_backend::framebuffer: break;
    }
    return follow_fb();
}

int lcd_reopen_screen(void)
{
    lcd_fd = open(LCD_DEVICE, O_RDWR | O_CLOEXEC);
    fb_answers answers;
    if (lcd_fd >= 0 && fb_query_screen(lcd_fd, &answers)) {
        map_answered(answers);
        return lcd_fd;
    }
    if (lcd_fd >= 0)
        close(lcd_fd);
    lcd_fd = -1;
    return -1;
}
