// How the live view is doing, told in one line when asked: frames drawn,
// undecodable and with warnings, the time each took to decode and draw, and,
// with our camera library, the time from each frame's capture to the screen
// and the library's counts.
#ifndef VIEW_STATUS_H
#define VIEW_STATUS_H

#include "lcd.h"

#include <cstddef>
#include <ctime>

// Counts one frame: show_video_data's result, what libjpeg said, and the
// seconds decoding and drawing took.
void count_frame(int result, const jpeg_report &report, double seconds);
// Counts the time from a frame's capture to shown, the moment its last line
// was stored (CLOCK_MONOTONIC); a capture time in the future, or too far back
// to believe, is not counted.
void count_latency(const timespec &captured, const timespec &shown);
// Prints the status line, now seconds into the run, and starts a new interval.
void print_status(double now);
// The status in short, as systemd shows it, over the time since it was last
// described: "25.0 frames drawn a second, 0 undecodable, capture to screen
// 69 ms median" (undecodable since start).
void describe_status(double now, char *text, std::size_t size);

#endif
