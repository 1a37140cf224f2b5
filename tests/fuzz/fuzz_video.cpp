// show_video_data on the input as one frame of JPEG data, drawn on a guarded
// screen, with libjpeg's messages kept as the live view keeps them. Data it
// cannot decode must come back as -1, never end the process.
#include "fuzz_support.h"
#include "lcd.h"
#include "placements.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static unsigned char *screen = map_guarded(LCD_BYTES);
    mmap_fd = reinterpret_cast<uint32_t *>(screen);
    g_jpeg_print_messages = false;
    if (!jpeg_within_budget(data, size))
        return 0;
    placement at = pick_placement(size);
    show_video_data(at.x, at.y, data, int(size));
    return 0;
}
