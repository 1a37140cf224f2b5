// What libjpeg says about camera frames, in few lines however the camera
// misbehaves: each distinct message (by libjpeg's code, as the numbers in its
// text change from frame to frame) is printed the first time it comes; its
// repeats are counted and told in one line at most once a minute. A message
// not seen for a minute is printed afresh.
#ifndef FRAME_MESSAGES_H
#define FRAME_MESSAGES_H

#include "lcd.h"

constexpr double REPEATS_REPORT_SECONDS = 60;

// Notes what libjpeg said about one frame, now seconds into the run.
void note_frame_messages(const jpeg_report &report, double now);
// Once a minute from the first message: prints the line of the repeats in
// that minute, if there were any.
void report_repeats(double now);

#endif
