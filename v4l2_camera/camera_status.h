/* What our camera library keeps in the program's 32-byte framebuf: a snapshot
 * of its state, renewed by every call. Plain C, so that a C test double can
 * read it too. */
#ifndef CAMERA_STATUS_H
#define CAMERA_STATUS_H

#include <stdint.h>
#include <time.h>

struct camera_status {
    int32_t fd;            /* the device's descriptor, -1 while none is open */
    uint32_t buffer_count; /* buffers mapped */
    uint32_t width;        /* frame size set */
    uint32_t height;
    uint32_t frames_delivered;
    uint32_t frames_skipped;  /* flagged as errors, empty or cut short */
    uint32_t frames_dropped;  /* complete, but a newer one was waiting behind them */
    uint32_t streams_started; /* 1, plus 1 each time streaming started again:
                                 the camera came back, or its driver had
                                 stopped after a failed transfer */
};

/* Our library exports a symbol of this name, so that a program can tell with
 * dlsym whether framebuf holds a camera_status or another library's state. */
#define CAMERA_STATUS_SYMBOL "camera_status_in_framebuf"

/* framebuf is full, so the capture time of each frame comes through a
 * function our library exports under this name: the time, on CLOCK_MONOTONIC,
 * at which the driver took the frame linux_v4l2_get_fream delivered last.
 * 0, or -1 when the driver gave no time on that clock. */
#define CAMERA_CAPTURE_TIME_SYMBOL "camera_capture_time"
typedef int camera_capture_time_function(struct timespec *captured);

#endif
