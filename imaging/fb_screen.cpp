#include "fb_screen.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <sys/ioctl.h>
#include <sys/mman.h>

namespace {

int ask_driver(int fd, unsigned long request, void *answer)
{
    return ioctl(fd, request, answer) == -1 ? errno : 0;
}

// Pans the display back to the start of the screen memory, where a console
// that scrolled or a program that flipped pages left it elsewhere, and asks
// the driver again. Drawing then goes to the memory the display shows also on
// drivers that report a pan they do not show (bochs). A driver that refuses
// keeps its pan in answers, and drawing follows it.
void pan_to_start(int fd, fb_answers *answers)
{
    fb_var_screeninfo start = answers->var;
    if (start.xoffset == 0 && start.yoffset == 0)
        return;
    start.xoffset = start.yoffset = 0;
    if (ioctl(fd, FBIOPAN_DISPLAY, &start) < 0)
        return;
    // Asked again, so that the answers are the driver's own to compare later.
    if (ask_driver(fd, FBIOGET_VSCREENINFO, &answers->var) != 0)
        answers->var = start;
}

} // namespace

bool fb_query_screen(int fd, fb_answers *answers)
{
    *answers = {};
    answers->var_errno = ask_driver(fd, FBIOGET_VSCREENINFO, &answers->var);
    answers->fix_errno = ask_driver(fd, FBIOGET_FSCREENINFO, &answers->fix);
    return answers->var_errno == 0 && answers->fix_errno == 0;
}

fb_fault fb_check_screen(const fb_var_screeninfo &var, const fb_fix_screeninfo &fix,
                         pixel_format *format, fb_view *view)
{
    if (!describe_pixel_format(var, fix.visual, format))
        return fb_fault::format;
    uint64_t pixel_bytes = uint64_t(format->bytes_per_pixel);
    uint64_t shown_bytes = (uint64_t(var.xoffset) + var.xres) * pixel_bytes;
    if (var.xres == 0 || var.yres == 0 || var.xres > INT_MAX || var.yres > INT_MAX ||
        fix.line_length < shown_bytes)
        return fb_fault::size;
    uint64_t bytes = uint64_t(fix.line_length) * (uint64_t(var.yoffset) + var.yres);
    view->length = bytes > SIZE_MAX ? SIZE_MAX : std::size_t(bytes);
    if (bytes > fix.smem_len)
        return fb_fault::memory;
    view->first_byte =
        std::size_t(uint64_t(fix.line_length) * var.yoffset + var.xoffset * pixel_bytes);
    return fb_fault::none;
}

fb_fault fb_map(int fd, fb_mapping *fb)
{
    *fb = {};
    if (!fb_query_screen(fd, &fb->answers))
        return fb_fault::query;
    pan_to_start(fd, &fb->answers);
    fb_fault fault = fb_check_screen(fb->answers.var, fb->answers.fix, &fb->format, &fb->view);
    if (fault != fb_fault::none)
        return fault;
    void *memory = mmap(nullptr, fb->view.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED)
        return fb_fault::map;
    fb->memory = static_cast<unsigned char *>(memory);
    return fb_fault::none;
}

void fb_unmap(fb_mapping *fb)
{
    if (fb->memory)
        munmap(fb->memory, fb->view.length);
    fb->memory = nullptr;
}
