// camera-lcd-bench --latency: the live view's loop against the camera
// library, timed from each frame's capture to the screen.
#ifndef LIVE_LATENCY_H
#define LIVE_LATENCY_H

// Shows frames from the camera at device with the live view's own calls,
// drawing where the LCD module is set up to draw, and prints the figures of
// the first `frames` ones. 0, or 1 when the camera failed before that.
int measure_latency(const char *device, int frames);

#endif
