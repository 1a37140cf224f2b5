#include "live_latency.h"

#include "api_v4l2.h"
#include "bench_support.h"
#include "camera_extras.h"
#include "lcd.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

// The camera library binds to this by name, as it does in camera_lcd.
unsigned char framebuf[CAMERA_FRAMEBUF_BYTES];

namespace {

camera_frame g_frame;

// The nearest-rank percentile of values, in ms.
double percentile_ms(std::vector<double> values, double percent)
{
    std::sort(values.begin(), values.end());
    std::size_t rank = std::size_t(std::ceil(percent / 100 * double(values.size())));
    return values[rank > 0 ? rank - 1 : 0] * 1000;
}

struct spread {
    double median, p99, most; // ms
};

spread print_spread(const char *what, const std::vector<double> &seconds)
{
    spread s = {median(seconds) * 1000, percentile_ms(seconds, 99), percentile_ms(seconds, 100)};
    std::printf("%s: %.2f ms median, %.2f ms 99th percentile, %.2f ms at most\n", what, s.median,
                s.p99, s.most);
    return s;
}

// Each frame's decode and draw, its time from capture to the screen, and the
// part of that before its decode began: what it waited.
void print_figures(const std::vector<double> &draw_times, const std::vector<double> &latencies,
                   const std::vector<double> &waits)
{
    double draw = print_spread("decode and draw (wall time)", draw_times).median;
    if (latencies.empty()) {
        std::printf("capture to screen: unknown (no capture times on CLOCK_MONOTONIC)\n");
        return;
    }
    spread latency = print_spread("capture to screen", latencies);
    std::printf("  as times the median decode and draw: %.2f, %.2f, %.2f\n", latency.median / draw,
                latency.p99 / draw, latency.most / draw);
    print_spread("capture to the start of its decode", waits);
}

// How many frames were shown and timed, and what our camera library counted.
void print_camera(const char *device, std::size_t shown, std::size_t timed)
{
    std::printf("frames from %s: %zu shown, %zu of them with a capture time", device, shown, timed);
    camera_status status;
    if (camera_status_known(&status))
        std::printf("; %ux%u in %u buffers; the library delivered %u, skipped %u, dropped %u",
                    status.width, status.height, status.buffer_count, status.frames_delivered,
                    status.frames_skipped, status.frames_dropped);
    std::printf("\n");
}

} // namespace

int measure_latency(const char *device, int frames)
{
    if (linux_v4l2_device_init(device) < 0 || linux_v4l2_start_capturing() < 0) {
        std::fprintf(stderr, "camera-lcd-bench: cannot start the camera %s\n", device);
        return 1;
    }
    std::vector<double> draw_times, latencies, waits;
    while (int(draw_times.size()) < frames) {
        if (linux_v4l2_get_fream(&g_frame) < 0) {
            if (errno == ETIMEDOUT)
                std::fprintf(stderr, "camera-lcd-bench: no frame from %s in time\n", device);
            break;
        }
        timespec captured;
        bool capture_time_known = frame_capture_time(&captured);
        timespec start = monotonic_now();
        int length = std::min(g_frame.length, int32_t(sizeof g_frame.data));
        int result = show_video_data(0, 0, g_frame.data, length);
        timespec end = monotonic_now();
        draw_times.push_back(seconds_between(start, end));
        double latency;
        if (result == 0 && capture_time_known && capture_to_screen(captured, end, &latency)) {
            latencies.push_back(latency);
            waits.push_back(latency - draw_times.back());
        }
    }
    print_camera(device, draw_times.size(), latencies.size());
    if (!draw_times.empty())
        print_figures(draw_times, latencies, waits);
    return int(draw_times.size()) < frames ? 1 : 0;
}
