#include "frame_rules.h"

#include <cstring>

namespace {

uint64_t area(frame_size s)
{
    return uint64_t(s.width) * s.height;
}

bool fits(frame_size s, frame_size limit)
{
    return s.width <= limit.width && s.height <= limit.height;
}

uint32_t largest_step_within(uint32_t min, uint32_t max, uint32_t step, uint32_t limit)
{
    if (min > limit)
        return 0;
    uint32_t top = max < limit ? max : limit;
    if (step == 0)
        return top;
    return min + (top - min) / step * step;
}

} // namespace

bool frame_is_complete(uint32_t flags, const unsigned char *data, uint32_t bytesused)
{
    if (flags & V4L2_BUF_FLAG_ERROR)
        return false;
    if (bytesused < 2)
        return false;
    return data[0] == 0xFF && data[1] == 0xD8;
}

bool copy_complete_frame(const v4l2_buffer &buf, const unsigned char *mapped,
                         std::size_t mapped_length, camera_frame *frame)
{
    std::size_t used = buf.bytesused < mapped_length ? buf.bytesused : mapped_length;
    if (!frame_is_complete(buf.flags, mapped, uint32_t(used)))
        return false;
    std::size_t length = used < CAMERA_FRAME_DATA_BYTES ? used : CAMERA_FRAME_DATA_BYTES;
    std::memcpy(frame->data, mapped, length);
    frame->length = int32_t(length);
    return true;
}

frame_size largest_stepwise_fit(const v4l2_frmsize_stepwise &range, frame_size limit)
{
    uint32_t width =
        largest_step_within(range.min_width, range.max_width, range.step_width, limit.width);
    uint32_t height =
        largest_step_within(range.min_height, range.max_height, range.step_height, limit.height);
    if (width == 0 || height == 0)
        return {0, 0};
    return {width, height};
}

bool choose_frame_size(const frame_size *offered, std::size_t count, frame_size limit,
                       frame_size *chosen)
{
    if (count == 0)
        return false;
    const frame_size *best_fit = nullptr;
    const frame_size *smallest = &offered[0];
    for (std::size_t i = 0; i < count; i++) {
        if (area(offered[i]) < area(*smallest))
            smallest = &offered[i];
        if (fits(offered[i], limit) && (!best_fit || area(offered[i]) > area(*best_fit)))
            best_fit = &offered[i];
    }
    *chosen = best_fit ? *best_fit : *smallest;
    return true;
}
