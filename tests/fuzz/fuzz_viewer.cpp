// The viewer's read and decode path on a file holding the input, and its
// pixel writer on a guarded screen of a layout the input's size picks. The
// viewer's source is compiled in here, its main renamed (main=jpeg_fb_main),
// so its own functions run as they are.
#include "fuzz_exit.h"
#include "fuzz_support.h"
#include "vfb_layouts.h"

#include "jpeg_show.cpp"

namespace {

const char *const SCREENS[] = {"xrgb8888", "rgb888", "rgb565", "xrgb8888-padded",
                               "xrgb8888-1024x600"};
constexpr std::size_t SCREEN_COUNT = sizeof SCREENS / sizeof SCREENS[0];

char g_path[64];

void view_file(const uint8_t *, std::size_t size)
{
    int length = 0;
    unsigned char *jpeg = read_whole_file(g_path, &length);
    image_info info;
    unsigned char *image = decode_image(jpeg, length, &info);
    std::free(jpeg);

    fb_mapping screen = {};
    fb_answers &answers = screen.answers;
    vfb_describe(vfb_layout_find(SCREENS[size % SCREEN_COUNT]), &answers.var, &answers.fix);
    refuse_screen(fb_check_screen(answers.var, answers.fix, &screen.format, &screen.view), screen);
    screen.memory = map_guarded(screen.view.length);
    write_lcd(image, &info, &screen);
    unmap_guarded(screen.memory, screen.view.length);
    std::free(image);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (!jpeg_within_budget(data, size))
        return 0;
    int fd = open_input_file(data, size, g_path, sizeof g_path);
    if (fd < 0)
        return -1;
    run_input(view_file, data, size);
    close(fd);
    return 0;
}
