// The LCD device: open /dev/fb0 (else a DRM panel), ask the driver what the
// screen is, map it, end pictures, close; and the store of a pixel word
// converted to a screen of another format (lcd.h stores the pixel word itself, inline).
#include "lcd.h"
#include "failure_line.h"
#include "lcd_drm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

constexpr std::size_t LCD_LINE_BYTES = std::size_t(LCD_WIDTH) * LCD_BYTES_PER_PIXEL;

int lcd_fd = -1; // not 0: closing an unopened screen must not close standard input
uint32_t *mmap_fd;
lcd_screen g_screen = {LCD_WIDTH, LCD_HEIGHT, LCD_LINE_BYTES, PIXEL_WORD_FORMAT,
                       true,      0,          LCD_BYTES};
lcd_backend g_lcd_backend = lcd_backend::framebuffer;
alignas(64) unsigned char g_color_buf[LCD_BYTES];

namespace {

fb_mapping g_fb;               // /dev/fb0 as mapped, or as refused last
told_failure g_screen_failure; // a failed query or mapping, told once until the screen is mapped

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

int open_fb()
{
    return open(FB_DEVICE, O_RDWR | O_CLOEXEC);
}

// The screen fb_map took or checked, for drawing; -1 after one line for a
// mode drawing cannot use. A failed query or mapping is the caller's to tell.
int describe_screen(fb_fault fault, const fb_mapping &fb, lcd_screen *screen)
{
    const fb_var_screeninfo &var = fb.answers.var;
    const fb_fix_screeninfo &fix = fb.answers.fix;
    switch (fault) {
    case fb_fault::none: break;
    case fb_fault::query:
    case fb_fault::map: return -1;
    case fb_fault::format:
        return report_refusal("draw on %s: %s screen of %u bits per pixel", FB_DEVICE,
                              name_visual(fix.visual), var.bits_per_pixel);
    case fb_fault::size:
        return report_refusal("draw on %s: %ux%u pixels of %u bits in lines of %u bytes", FB_DEVICE,
                              var.xres, var.yres, var.bits_per_pixel, fix.line_length);
    case fb_fault::memory:
        return report_refusal("map %s: screen memory is %u bytes, %zu needed", FB_DEVICE,
                              fix.smem_len, fb.view.length);
    }
    bool word_lines = same_pixel_format(fb.format, PIXEL_WORD_FORMAT) && fix.line_length % 4 == 0;
    *screen = {int(var.xres), int(var.yres),      fix.line_length, fb.format,
               word_lines,    fb.view.first_byte, fb.view.length};
    return 0;
}

// A refused query is named by the one the module asks first, FBIOGET_FSCREENINFO.
void tell_fb_failure(fb_fault fault, const fb_answers &answers)
{
    if (fault == fb_fault::map) {
        report_new_failure(&g_screen_failure, "map %s (mmap)", FB_DEVICE);
        return;
    }
    bool fix_refused = answers.fix_errno != 0;
    errno = fix_refused ? answers.fix_errno : answers.var_errno;
    report_new_failure(&g_screen_failure, "query %s (%s)", FB_DEVICE,
                       fix_refused ? "FBIOGET_FSCREENINFO" : "FBIOGET_VSCREENINFO");
}

void unmap_fb()
{
    fb_unmap(&g_fb);
    mmap_fd = nullptr;
}

// /dev/fb0 as its driver describes it, panned back to the start and mapped,
// in place of what was mapped before. A mode drawing cannot use stays in g_fb,
// so that it is told once and its change is noticed. After a failed query or
// mapping nothing stays, so that the screen is taken again before the next frame.
fb_fault map_fb()
{
    unmap_fb();
    fb_fault fault = fb_map(lcd_fd, &g_fb);
    if (fault == fb_fault::query || fault == fb_fault::map) {
        tell_fb_failure(fault, g_fb.answers);
        g_fb = {};
        return fault;
    }
    lcd_screen screen;
    if (describe_screen(fault, g_fb, &screen) < 0)
        return fault;
    g_screen_failure = {};
    use_screen(screen, g_fb.memory);
    return fault;
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
                 FB_DEVICE, var.xres, var.yres, var.bits_per_pixel, fix.line_length, pan);
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
    if (is_same_screen(now, g_fb.answers))
        return lcd_screen_change::none;
    if (map_fb() != fb_fault::none)
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
    fb_mapping fb = {};
    fb.answers.var = var;
    fb.answers.fix = fix;
    return describe_screen(fb_check_screen(var, fix, &fb.format, &fb.view), fb, screen);
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
    lcd_fd = open_fb();
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
    return map_fb() == fb_fault::none ? lcd_fd : -1;
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
    lcd_fd = open_fb();
    if (lcd_fd < 0)
        return -1;
    fb_fault fault = map_fb();
    if (fault == fb_fault::query || fault == fb_fault::map) {
        close(lcd_fd);
        lcd_fd = -1;
    }
    return lcd_fd;
}
