// The live view's status line from frame times and capture times given and a
// clock set by hand.
#include "api_v4l2.h"
#include "service_notify.h"
#include "test_support.h"
#include "view_status.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>
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
    const char *described; // the status in short over the same time
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
         "capture to screen 0.04 ms median, 0.06 ms at most\n",
         "0.4 frames drawn a second, 1 undecodable, capture to screen 0 ms median"},
        {{},
         {},
         12.5,
         "camera_lcd: 4 frames drawn since start, 0 in the last 2.5 s (0.0 a second); 1 "
         "undecodable, 1 with warnings\n",
         "0.0 frames drawn a second, 1 undecodable"},
        // Of 4 times the second, 3 ms, told as the middle of its step of the
        // histogram, 2976 to 3007 us: 2991.5 us.
        {{{250000}, {3000}, {1000}, {5000}},
         {-1e-6, 10.0, 0.25},
         14.5,
         "camera_lcd: 8 frames drawn since start, 4 in the last 2.0 s (2.0 a second); 1 "
         "undecodable, 1 with warnings; decode and draw 2.99 ms median, 250.00 ms at most; "
         "capture to screen 250.88 ms median, 10000.00 ms at most\n",
         "2.0 frames drawn a second, 1 undecodable, capture to screen 251 ms median"},
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
        char described[100];
        describe_status(step.now, described, sizeof described);
        EXPECT_STREQ(described, step.described);
    }
}

// The notify socket as systemd names it, and its watchdog: when messages are
// due at the times asked, and what comes of two sent.
struct notify_case {
    const char *name;
    const char *socket; // "path", "@abstract", "none" (unset), "unbound", or as it stands
    const char *watchdog_usec;
    const char *watchdog_pid; // "self", "other" or nullptr: unset
    double watchdog_seconds;
    std::vector<double> due, not_due; // in turn, each time after the last
    const char *err;                  // standard error, exactly
};

TEST(ServiceNotify, DueAtTheWatchdogsRateAndSent)
{
    // clang-format off
    const notify_case cases[] = {
        {"watchdog_pinged_at_a_quarter_of_its_period", "path", "2000000", "self", 2, {0, 0.5, 1.0}, {0.4, 0.9}, ""},
        {"abstract_socket_status_every_5_s", "@abstract", nullptr, nullptr, 0, {0, 5}, {4.9}, ""},
        {"long_watchdog_status_still_every_5_s", "path", "60000000", nullptr, 60, {0, 5}, {4.9}, ""},
        {"watchdog_of_another_process_not_ours", "path", "2000000", "other", 0, {0, 5}, {0.5}, ""},
        {"watchdog_period_unreadable", "path", "2s", "self", 0, {0}, {}, ""},
        {"no_notify_socket_nothing_due_nothing_said", "none", "2000000", "self", 0, {}, {0, 10}, ""},
        {"socket_of_another_kind_told_once", "vsock:2:1234", nullptr, nullptr, 0, {}, {0},
         "Unable to tell systemd how the view is: NOTIFY_SOCKET=vsock:2:1234 names no socket\n"},
        {"nobody_listening_failure_told_once", "unbound", nullptr, nullptr, 0, {0}, {},
         "Unable to tell systemd how the view is (sendto @lcd-notify-test-nobody): Connection refused (111)\n"},
    };
    // clang-format on
    for (const notify_case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string abstract = "@lcd-notify-test-" + std::to_string(getpid());
        scratch_dir tmp;
        std::string socket = c.socket;
        if (socket == "path")
            socket = tmp.path("notify");
        if (socket == "@abstract")
            socket = abstract;
        std::unique_ptr<notify_listener> listener;
        if (socket == tmp.path("notify") || socket == abstract)
            listener = std::make_unique<notify_listener>(socket);
        if (socket == "unbound")
            socket = "@lcd-notify-test-nobody"; // an abstract name no one has
        if (socket == "none")
            unsetenv("NOTIFY_SOCKET");
        else
            setenv("NOTIFY_SOCKET", socket.c_str(), 1);
        if (c.watchdog_usec)
            setenv("WATCHDOG_USEC", c.watchdog_usec, 1);
        else
            unsetenv("WATCHDOG_USEC");
        std::string pid = std::to_string(
            getpid() + (std::string(c.watchdog_pid ? c.watchdog_pid : "") == "other"));
        if (c.watchdog_pid)
            setenv("WATCHDOG_PID", pid.c_str(), 1);
        else
            unsetenv("WATCHDOG_PID");

        testing::internal::CaptureStderr();
        notify_open();
        EXPECT_EQ(notify_watchdog_seconds(), c.watchdog_seconds);
        std::vector<std::pair<double, bool>> times;
        for (double t : c.due)
            times.push_back({t, true});
        for (double t : c.not_due)
            times.push_back({t, false});
        std::sort(times.begin(), times.end());
        for (const auto &[t, due] : times)
            EXPECT_EQ(notify_due(t), due) << "at " << t << " s";
        notify_send("READY=1");
        notify_send("WATCHDOG=1\nSTATUS=waiting for /dev/video7");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        if (listener) {
            std::vector<std::string> texts;
            for (const notify_listener::message &m : listener->messages())
                texts.push_back(m.text);
            EXPECT_EQ(texts, (std::vector<std::string>{
                                 "READY=1", "WATCHDOG=1\nSTATUS=waiting for /dev/video7"}));
        }
    }
    unsetenv("NOTIFY_SOCKET");
    notify_open();
}

} // namespace
