// camera_lcd: the camera's live picture on the LCD, drawn at the top-left corner.
// (The file name viode_show is kept as it is known.)
#include "api_v4l2.h"
#include "lcd.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

// The camera library binds to this by name and keeps its own state in it.
unsigned char framebuf[CAMERA_FRAMEBUF_BYTES];

namespace {

constexpr const char CAMERA_DEVICE[] = "/dev/video7";
constexpr timespec RETRY_PAUSE = {1, 0};

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
        if (access(CAMERA_DEVICE, F_OK) == 0 && linux_v4l2_device_init(CAMERA_DEVICE) == 0 &&
            linux_v4l2_start_capturing() == 0)
            return;
    }
}

// Keeps the last picture on the screen while the camera is away.
void recover_camera()
{
    std::fprintf(stderr, "camera_lcd: the camera %s stopped, waiting for it\n", CAMERA_DEVICE);
    wait_for_camera();
    std::fprintf(stderr, "camera_lcd: the camera %s is back\n", CAMERA_DEVICE);
}

// Fetches and draws frames for ever; a silent camera is waited for, one that
// failed or went away is set up again.
[[noreturn]] void show_frames(camera_frame &frame)
{
    bool waiting = false;
    for (;;) {
        if (linux_v4l2_get_fream(&frame) < 0) {
            bool timed_out = errno == ETIMEDOUT;
            if (!timed_out)
                recover_camera();
            else if (!waiting)
                std::fprintf(stderr, "camera_lcd: no frame from %s, waiting\n", CAMERA_DEVICE);
            waiting = timed_out;
            continue;
        }
        waiting = false;
        int length = frame.length;
        if (length > int(sizeof frame.data))
            length = int(sizeof frame.data);
        show_video_data(0, 0, frame.data, length);
    }
}

} // namespace

int main()
{
    camera_frame frame; // 1.8 MB on the stack: one record reused for every frame
    if (lcd_open() < 0 || mmap_lcd() < 0)
        return 1;
    if (start_camera() < 0)
        return 1;
    show_frames(frame);
}
