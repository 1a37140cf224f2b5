// show_video_data on the input as one frame of JPEG data, drawn on a guarded
// screen of a layout the input's size picks, with libjpeg's messages kept as
// the live view keeps them. Data it cannot decode must come back as -1, never
// end the process.
#include "fuzz_support.h"
#include "lcd.h"
#include "placements.h"
#include "vfb_layouts.h"

#include <cstdlib>

namespace {

const char *const SCREENS[] = {"xrgb8888", "xbgr8888",        "rgb888",           "rgb565",
                               "bgr565",   "xrgb8888-padded", "xrgb8888-1024x600"};
constexpr std::size_t SCREEN_COUNT = sizeof SCREENS / sizeof SCREENS[0];

// Each layout's screen, mapped once: exactly line_length x yres bytes.
void use_screen(std::size_t index)
{
    static unsigned char *screens[SCREEN_COUNT];
    const vfb_layout *layout = vfb_layout_find(SCREENS[index]);
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    vfb_describe(layout, &var, &fix);
    if (lcd_describe_fb(var, fix, &g_screen) < 0)
        std::abort(); // a layout of the table refused: the harness is wrong
    if (!screens[index])
        screens[index] = map_guarded(std::size_t(layout->line_length) * layout->yres);
    mmap_fd = reinterpret_cast<uint32_t *>(screens[index]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    use_screen(size / PLACEMENT_COUNT % SCREEN_COUNT);
    g_jpeg_print_messages = false;
    if (!jpeg_within_budget(data, size))
        return 0;
    placement at = pick_placement(size);
    show_video_data(at.x, at.y, data, int(size));
    return 0;
}
