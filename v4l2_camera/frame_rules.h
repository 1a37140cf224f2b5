// Decisions the camera library makes about sizes and buffers, kept apart from
// the ioctls so they can be checked without a device.
#ifndef FRAME_RULES_H
#define FRAME_RULES_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <linux/videodev2.h>

#include "api_v4l2.h"

struct frame_size {
    uint32_t width;
    uint32_t height;
};

// The length of the JPEG image in a dequeued buffer: from its start-of-image
// marker to its end-of-image marker, zero bytes padded after that left out.
// bytesused counts only up to the mapped length. 0 for a buffer to skip:
// flagged as an error, empty, cut short, or larger than the frame record.
std::size_t complete_frame_length(const v4l2_buffer &buf, const unsigned char *mapped,
                                  std::size_t mapped_length);

// The time a dequeued buffer was captured, into *captured: only a timestamp
// the driver says it took on CLOCK_MONOTONIC; false for another clock or none.
bool buffer_capture_time(const v4l2_buffer &buf, timespec *captured);

// Copies the image complete_frame_length found, its first `length` bytes
// (more than 0, and at most the record's), into the frame record.
void copy_complete_frame(const unsigned char *mapped, std::size_t length, camera_frame *frame);

// The largest size of a stepwise or continuous range that fits the limit;
// {0, 0} when even the range's smallest size does not fit.
frame_size largest_stepwise_fit(const v4l2_frmsize_stepwise &range, frame_size limit);

// The largest offered size (by area) that fits the limit, or the smallest
// offered size when none fits. False only when nothing is offered.
bool choose_frame_size(const frame_size *offered, std::size_t count, frame_size limit,
                       frame_size *chosen);

// The shortest frame interval, the highest rate, a camera lists for a size:
// discrete entries, or one stepwise or continuous range (its minimum).
// Intervals with a zero numerator or denominator are passed over; false when
// none is left.
bool choose_fastest_interval(const v4l2_frmivalenum *listed, std::size_t count, v4l2_fract *chosen);

#endif
