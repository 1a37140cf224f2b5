// How the live view is doing, told in one line when asked: frames drawn,
// undecodable and with warnings, the time each took to decode and draw, and
// our camera library's counts.
#ifndef VIEW_STATUS_H
#define VIEW_STATUS_H

#include "lcd.h"

// Counts one frame: show_video_data's result, what libjpeg said, and the
// seconds decoding and drawing took.
void count_frame(int result, const jpeg_report &report, double seconds);
// Prints the status line, now seconds into the run, and starts a new interval.
void print_status(double now);

#endif
