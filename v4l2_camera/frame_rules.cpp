#include "frame_rules.h"

#include <cstring>

namespace {

constexpr std::size_t MARKERS_BYTES = 4; // start of image FF D8, end of image FF D9

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

bool shorter(v4l2_fract a, v4l2_fract b)
{
    return uint64_t(a.numerator) * b.denominator < uint64_t(b.numerator) * a.denominator;
}

} // namespace

std::size_t complete_frame_length(const v4l2_buffer &buf, const unsigned char *mapped,
                                  std::size_t mapped_length)
{
    if (buf.flags & V4L2_BUF_FLAG_ERROR)
        return 0;
    std::size_t length = buf.bytesused < mapped_length ? buf.bytesused : mapped_length;
    while (length > 0 && mapped[length - 1] == 0)
        length--;
    if (length < MARKERS_BYTES || length > CAMERA_FRAME_DATA_BYTES)
        return 0;
    bool starts = mapped[0] == 0xFF && mapped[1] == 0xD8;
    bool ends = mapped[length - 2] == 0xFF && mapped[length - 1] == 0xD9;
    return starts && ends ? length : 0;
}

bool buffer_capture_time(const v4l2_buffer &buf, timespec *captured)
{
    const timeval &stamp = buf.timestamp;
    bool monotonic =
        (buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (!monotonic || stamp.tv_sec < 0 || stamp.tv_usec < 0 || stamp.tv_usec >= 1000000 ||
        (stamp.tv_sec == 0 && stamp.tv_usec == 0))
        return false;
    *captured = {stamp.tv_sec, stamp.tv_usec * 1000};
    return true;
}

void copy_complete_frame(const unsigned char *mapped, std::size_t length, camera_frame *frame)
{
    std::memcpy(frame->data, mapped, length);
    frame->length = int32_t(length);
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

bool choose_fastest_interval(const v4l2_frmivalenum *listed, std::size_t count, v4l2_fract *chosen)
{
    bool found = false;
    for (std::size_t i = 0; i < count; i++) {
        v4l2_fract interval = listed[i].type == V4L2_FRMIVAL_TYPE_DISCRETE ? listed[i].discrete
                                                                           : listed[i].stepwise.min;
        if (interval.numerator == 0 || interval.denominator == 0)
            continue;
        if (!found || shorter(interval, *chosen))
            *chosen = interval;
        found = true;
    }
    return found;
}
