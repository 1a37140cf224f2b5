// camera_lcd: the camera's live picture on the LCD, drawn at the top-left corner.
// (The file name viode_show is kept as it is known.)
#include "api_v4l2.h"
#include "lcd.h"

#include <cerrno>
#include <cstdio>

// The camera library binds to this by name and keeps its own state in it.
unsigned char framebuf[CAMERA_FRAMEBUF_BYTES];

namespace {

constexpr const char CAMERA_DEVICE[] = "/dev/video7";

int start_camera()
{
    if (linux_v4l2_device_init(CAMERA_DEVICE) < 0 || linux_v4l2_start_capturing() < 0) {
        std::fprintf(stderr, "camera_lcd: cannot start the camera %s\n", CAMERA_DEVICE);
        return -1;
    }
    return 0;
}

// Fetches and draws frames until the camera fails; a silent camera is waited for.
int show_frames(camera_frame &frame)
{
    bool waiting = false;
    for (;;) {
        if (linux_v4l2_get_fream(&frame) < 0) {
            if (errno != ETIMEDOUT) {
                std::fprintf(stderr, "camera_lcd: the camera %s stopped\n", CAMERA_DEVICE);
                return -1;
            }
            if (!waiting)
                std::fprintf(stderr, "camera_lcd: no frame from %s, waiting\n", CAMERA_DEVICE);
            waiting = true;
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
    return show_frames(frame) < 0 ? 1 : 0;
}
