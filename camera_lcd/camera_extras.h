// What our camera library tells beyond the three calls: its counts in
// framebuf, and the time each frame was captured. Both are found by name, so
// that with another camera library they are simply unknown.
#ifndef CAMERA_EXTRAS_H
#define CAMERA_EXTRAS_H

#include "camera_status.h"
#include "monotonic_time.h"

#include <ctime>

// A capture time further back than this is not believed.
constexpr double LATENCY_LIMIT_SECONDS = 10;

// Copies our library's counts from framebuf; false with another library.
bool camera_status_known(camera_status *status);
// The capture time, on CLOCK_MONOTONIC, of the frame fetched last; false
// when it is unknown.
bool frame_capture_time(timespec *captured);
// The seconds from a frame's capture to shown (CLOCK_MONOTONIC); false for a
// capture time in the future or more than LATENCY_LIMIT_SECONDS back.
bool capture_to_screen(const timespec &captured, const timespec &shown, double *seconds);

#endif
