// The live view's status line from frame times and capture times given and a
// clock set by hand.
#include "api_v4l2.h"
#include "view_status.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

unsigned char framebuf[CAMERA_FRAMEBUF_BYTES]; // the program's; no camera library counts here

namespace {

enum outcome { DRAWN, WARNED, UNDECODABLE };

struct timed_frame {
    double us; // decoding and drawing it took
    outcome how = DRAWN;
};

// Frames counted with the seconds from their capture to the screen (negative:
// captured after), then the status line asked for at now seconds: it must be line.
struct status_step {
    std::vector<timed_frame> frames;
    std::vector<double> latencies;
    double now;
    const char *line;
};

TEST(ViewStatus, CountsAndExactMedianOfEachInterval)
{
    const status_step steps[] = {
        // Of 5 times the third: 30 us (below 64 us the times are kept exactly).
        // Capture times in the future or more than 10 s back are not counted.
        {{{30}, {1000}, {10}, {20, UNDECODABLE}, {50, WARNED}},
         {40e-6, -0.5, 10e-6, 10.001, 60e-6, 20},
         10.0,
         "camera_lcd: 4 frames drawn since start, 4 in the last 10.0 s (0.4 a second); 1 "
         "undecodable, 1 with warnings; decode and draw 0.03 ms median, 1.00 ms at most; "
         "capture to screen 0.04 ms median, 0.06 ms at most\n"},
        {{},
         {},
         12.5,
         "camera_lcd: 4 frames drawn since start, 0 in the last 2.5 s (0.0 a second); 1 "
         "undecodable, 1 with warnings\n"},
        // Of 4 times the second, 3 ms, told as the middle of its step of the
        // histogram, 2976 to 3007 us: 2991.5 us.
        {{{250000}, {3000}, {1000}, {5000}},
         {-1e-6, 10.0, 0.25},
         14.5,
         "camera_lcd: 8 frames drawn since start, 4 in the last 2.0 s (2.0 a second); 1 "
         "undecodable, 1 with warnings; decode and draw 2.99 ms median, 250.00 ms at most; "
         "capture to screen 250.88 ms median, 10000.00 ms at most\n"},
    };
    const timespec shown = {1000, 500000000};
    for (const status_step &step : steps) {
        for (const timed_frame &f : step.frames) {
            jpeg_report report = {f.how == UNDECODABLE, f.how == WARNED ? 1 : 0, 0, {}};
            count_frame(f.how == UNDECODABLE ? -1 : 0, report, f.us / 1e6);
        }
        for (double seconds : step.latencies) {
            long long ns = std::llround(seconds * 1e9); // 10 s and more overflow a 32-bit long
            timespec captured = {time_t(shown.tv_sec - ns / 1000000000),
                                 long(shown.tv_nsec - ns % 1000000000)};
            count_latency(captured, shown);
        }
        testing::internal::CaptureStderr();
        print_status(step.now);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), step.line) << "at " << step.now << " s";
    }
}

} // namespace
