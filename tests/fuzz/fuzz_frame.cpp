// A dequeued buffer as the driver hands it over: the input's first four bytes
// are its flags, the next four its bytesused (both little-endian), the rest
// the mapped buffer's bytes. A delivered frame is drawn as camera_lcd draws it.
#include "frame_rules.h"
#include "fuzz_support.h"
#include "lcd.h"

#include <cstring>

namespace {

constexpr std::size_t BUFFER_HEAD_BYTES = 8;

camera_frame *g_frame;

uint32_t get_u32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void deliver_and_draw(const uint8_t *data, std::size_t size)
{
    if (size < BUFFER_HEAD_BYTES)
        return;
    std::size_t mapped_length = size - BUFFER_HEAD_BYTES;
    unsigned char *mapped = map_guarded(mapped_length);
    std::memcpy(mapped, data + BUFFER_HEAD_BYTES, mapped_length);
    v4l2_buffer buf = {};
    buf.flags = get_u32(data);
    buf.bytesused = get_u32(data + 4);
    std::size_t length = complete_frame_length(buf, mapped, mapped_length);
    if (length > 0)
        copy_complete_frame(mapped, length, g_frame);
    unmap_guarded(mapped, mapped_length);
    if (length == 0 || !jpeg_within_budget(g_frame->data, std::size_t(g_frame->length)))
        return;
    show_video_data(0, 0, g_frame->data, g_frame->length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static unsigned char *screen = map_guarded(LCD_BYTES);
    static unsigned char *record = map_guarded(sizeof(camera_frame));
    mmap_fd = reinterpret_cast<uint32_t *>(screen);
    g_frame = reinterpret_cast<camera_frame *>(record);
    g_jpeg_print_messages = false;
    deliver_and_draw(data, size);
    return 0;
}
