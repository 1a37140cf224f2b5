// The camera library's interface: three calls and the frame record they fill.
// The library also binds to the program's exported 32-byte `framebuf`.
#ifndef API_V4L2_H
#define API_V4L2_H

#include <cstddef>
#include <cstdint>

constexpr std::size_t CAMERA_FRAME_DATA_BYTES = 1843200;

struct camera_frame {
    unsigned char data[CAMERA_FRAME_DATA_BYTES]; // one JPEG image from byte 0
    int32_t length;                              // valid bytes in data
};
static_assert(offsetof(camera_frame, length) == 1843200, "length follows the data");
static_assert(sizeof(camera_frame) == 1843204, "no padding in the frame record");

constexpr std::size_t CAMERA_FRAMEBUF_BYTES = 32;

// The camera the live view shows.
constexpr const char CAMERA_DEVICE[] = "/dev/video7";

// The names are the board library's: linux_v4l2_get_fream (sic) and framebuf
// must stay exactly so, or the program no longer links against it.
extern "C" {
// Each returns 0 on success; on failure prints one line, sets errno and
// returns a negative value. A failure the same as the last one printed is not
// printed again until streaming has started anew. linux_v4l2_start_capturing
// also says in one line the size and rate streamed at, when they differ from
// those it said last. linux_v4l2_get_fream
// delivers the newest complete frame; it fails with ETIMEDOUT when no frame
// arrived in time (call it again to keep waiting), and with any other errno
// (ENODEV: the camera was unplugged) when the device failed: the library has
// then let go of it, and linux_v4l2_device_init and linux_v4l2_start_capturing
// set it up again.
int linux_v4l2_device_init(const char *device);
int linux_v4l2_start_capturing(void);
int linux_v4l2_get_fream(camera_frame *frame);

extern unsigned char framebuf[CAMERA_FRAMEBUF_BYTES];
}

#endif
