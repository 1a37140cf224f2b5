// DRAW_IMAGE_FILE (lcd_draw_bmp in fuzz_bmp, lcd_draw_jpg in fuzz_jpg_file) on
// a file holding the input, drawn on a guarded screen.
#include "fuzz_support.h"
#include "lcd.h"
#include "placements.h"

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static unsigned char *screen = map_guarded(LCD_BYTES);
    mmap_fd = reinterpret_cast<uint32_t *>(screen);
    if (DRAW_IMAGE_FILE == lcd_draw_jpg && !jpeg_within_budget(data, size))
        return 0;
    char path[64];
    int fd = open_input_file(data, size, path, sizeof path);
    if (fd < 0)
        return -1;
    placement at = pick_placement(size);
    DRAW_IMAGE_FILE(at.x, at.y, path);
    close(fd);
    return 0;
}
