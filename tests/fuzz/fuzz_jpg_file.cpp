// lcd_draw_jpg on a file holding the input, drawn on a guarded screen.
#include "fuzz_exit.h"
#include "fuzz_support.h"
#include "lcd.h"
#include "placements.h"

#include <unistd.h>

namespace {

char g_path[64];

void draw_file(const uint8_t *data, std::size_t size)
{
    if (!jpeg_within_budget(data, size))
        return;
    placement at = pick_placement(size);
    lcd_draw_jpg(at.x, at.y, g_path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static unsigned char *screen = map_guarded(LCD_BYTES);
    mmap_fd = reinterpret_cast<uint32_t *>(screen);
    int fd = open_input_file(data, size, g_path, sizeof g_path);
    if (fd < 0)
        return -1;
    run_input(draw_file, data, size);
    close(fd);
    return 0;
}
