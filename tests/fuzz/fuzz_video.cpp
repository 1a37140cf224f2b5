// show_video_data on the input as one frame of JPEG data, drawn on a guarded screen.
#include "fuzz_exit.h"
#include "fuzz_support.h"
#include "lcd.h"
#include "placements.h"

namespace {

void draw_frame(const uint8_t *data, std::size_t size)
{
    if (!jpeg_within_budget(data, size))
        return;
    placement at = pick_placement(size);
    show_video_data(at.x, at.y, data, int(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static unsigned char *screen = map_guarded(LCD_BYTES);
    mmap_fd = reinterpret_cast<uint32_t *>(screen);
    run_input(draw_frame, data, size);
    return 0;
}
