// camera_lcd: the camera's live picture on the LCD, drawn at the top-left corner.
// (The file name viode_show is kept as it is known.)
#include "api_v4l2.h"
#include "camera_extras.h"
#include "console.h"
#include "frame_messages.h"
#include "lcd.h"
#include "monotonic_time.h"
#include "service_notify.h"
#include "signals.h"
#include "snapshot.h"
#include "view_status.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

// The camera library binds to this by name and keeps its own state in it.
unsigned char framebuf[CAMERA_FRAMEBUF_BYTES];

namespace {

constexpr timespec RETRY_PAUSE = {1, 0};

camera_frame g_frame; // the one record the library fills, reused for every frame
volatile std::sig_atomic_t g_status_asked, g_snapshot_asked;
timespec g_start;
const char *g_waiting_for; // the device the view waits for, or nullptr while it shows frames

void ask_for_status(int)
{
    g_status_asked = 1;
}

void ask_for_snapshot(int)
{
    g_snapshot_asked = 1;
}

// SIGUSR1 asks for the status line, SIGUSR2 for a snapshot; the handlers
// only note it.
void install_request_signals()
{
    sigset_t none;
    sigemptyset(&none);
    catch_signal(SIGUSR1, ask_for_status, none);
    catch_signal(SIGUSR2, ask_for_snapshot, none);
}

double seconds_since_start()
{
    return seconds_between(g_start, monotonic_now());
}

// Tells systemd, when due, that the view is alive and how it is.
void notify_when_due(double now)
{
    if (!notify_due(now))
        return;
    char message[160];
    int length = std::snprintf(message, sizeof message,
                               "%sSTATUS=", notify_watchdog_seconds() > 0 ? "WATCHDOG=1\n" : "");
    char *status = message + length;
    std::size_t left = sizeof message - std::size_t(length);
    if (g_waiting_for)
        std::snprintf(status, left, "waiting for %s", g_waiting_for);
    else
        describe_status(now, status, left);
    notify_send(message);
}

// What is due between frames: the status line and the snapshot when asked,
// the repeats of libjpeg's messages once a minute, systemd's messages.
void report_when_due()
{
    double now = seconds_since_start();
    if (g_status_asked) {
        g_status_asked = 0;
        print_status(now);
    }
    if (g_snapshot_asked) {
        g_snapshot_asked = 0;
        write_snapshot();
    }
    report_repeats(now);
    notify_when_due(now);
}

int start_camera()
{
    if (linux_v4l2_device_init(CAMERA_DEVICE) < 0 || linux_v4l2_start_capturing() < 0) {
        std::fprintf(stderr, "camera_lcd: cannot start the camera %s\n", CAMERA_DEVICE);
        return -1;
    }
    return 0;
}

void pause_before_retry()
{
    timespec left = RETRY_PAUSE;
    while (nanosleep(&left, &left) < 0 && errno == EINTR)
        continue;
}

// Tries once a second to set the camera up again. An absent device is only
// looked for, so that the library has nothing to report until it is back.
void wait_for_camera()
{
    for (;;) {
        pause_before_retry();
        report_when_due();
        if (access(CAMERA_DEVICE, F_OK) == 0 && linux_v4l2_device_init(CAMERA_DEVICE) == 0 &&
            linux_v4l2_start_capturing() == 0)
            return;
    }
}

// Keeps the last picture on the screen while the camera is away.
void recover_camera()
{
    std::fprintf(stderr, "camera_lcd: the camera %s stopped, waiting for it\n", CAMERA_DEVICE);
    g_waiting_for = CAMERA_DEVICE;
    wait_for_camera();
    std::fprintf(stderr, "camera_lcd: the camera %s is back\n", CAMERA_DEVICE);
}

// Waits for the screen as for the camera; the camera streams on meanwhile.
void recover_screen()
{
    std::fprintf(stderr, "camera_lcd: the screen %s went away, waiting for it\n", FB_DEVICE);
    g_waiting_for = FB_DEVICE;
    do {
        pause_before_retry();
        report_when_due();
    } while (lcd_reopen_screen() < 0);
    g_waiting_for = nullptr;
    std::fprintf(stderr, "camera_lcd: the screen %s is back\n", FB_DEVICE);
}

// Draws on the screen as its driver has it now; false while there is none.
bool follow_screen()
{
    if (lcd_follow_screen() == lcd_screen_change::gone)
        recover_screen();
    return mmap_fd != nullptr;
}

// A frame libjpeg cannot decode is counted and told, and the view goes on.
// A frame drawn is on the screen when show_video_data returns.
void show_frame(const camera_frame &frame)
{
    int length = frame.length;
    if (length > int(sizeof frame.data))
        length = int(sizeof frame.data);
    timespec captured;
    bool capture_time_known = frame_capture_time(&captured);
    timespec start = monotonic_now();
    int result = show_video_data(0, 0, frame.data, length);
    timespec end = monotonic_now();
    count_frame(result, g_jpeg_report, seconds_between(start, end));
    if (result == 0)
        keep_drawn_frame(frame.data, length);
    if (result == 0 && capture_time_known)
        count_latency(captured, end);
    note_frame_messages(g_jpeg_report, seconds_between(g_start, end));
}

// Fetches and draws frames for ever; a silent camera is waited for, one that
// failed or went away is set up again.
[[noreturn]] void show_frames(camera_frame &frame)
{
    for (;;) {
        report_when_due();
        if (linux_v4l2_get_fream(&frame) < 0) {
            bool timed_out = errno == ETIMEDOUT;
            if (!timed_out)
                recover_camera();
            else if (!g_waiting_for)
                std::fprintf(stderr, "camera_lcd: no frame from %s, waiting\n", CAMERA_DEVICE);
            g_waiting_for = timed_out ? CAMERA_DEVICE : nullptr;
            continue;
        }
        g_waiting_for = nullptr;
        if (follow_screen())
            show_frame(frame);
    }
}

} // namespace

int main()
{
    g_start = monotonic_now();
    install_request_signals();
    notify_open();
    g_jpeg_print_messages = false; // told through frame_messages instead
    if (lcd_open() < 0 || mmap_lcd() < 0)
        return 1;
    if (g_lcd_backend == lcd_backend::framebuffer)
        hold_console(lcd_fd);
    if (start_camera() < 0)
        return 1;
    notify_send("READY=1");
    show_frames(g_frame);
}
