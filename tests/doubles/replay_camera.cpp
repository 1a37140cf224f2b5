// A camera library that replays JPEG files: REPLAY_FRAMES lists them, separated
// by ':', one per fetch; the fetch after the last one ends the process with
// status 0. The entries "!timeout" and "!enodev" make that fetch fail with
// ETIMEDOUT or ENODEV; "!usr1" and "!usr2" send the process SIGUSR1 or
// SIGUSR2, "!screen=NAME"
// changes the virtual framebuffer's screen to the layout NAME (VFB_LAYOUT),
// and both deliver the last frame again. Without REPLAY_FRAMES the camera
// cannot be opened.
#include "api_v4l2.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char SCREEN_EVENT[] = "!screen=";

std::string g_frames; // what is left of REPLAY_FRAMES
uint32_t g_frames_fetched;

std::string next_entry()
{
    std::size_t end = g_frames.find(':');
    std::string entry = g_frames.substr(0, end);
    g_frames = end == std::string::npos ? "" : g_frames.substr(end + 1);
    return entry;
}

int fail(const char *what, int err)
{
    std::fprintf(stderr, "Unable to %s: %s (%d)\n", what, std::strerror(err), err);
    errno = err;
    return -1;
}

int load(const std::string &path, camera_frame *frame)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return fail(path.c_str(), errno);
    std::size_t length = std::fread(frame->data, 1, sizeof frame->data, file);
    std::fclose(file);
    frame->length = int32_t(length);
    return 0;
}

} // namespace

extern "C" int linux_v4l2_device_init(const char *device)
{
    const char *frames = std::getenv("REPLAY_FRAMES");
    if (!frames)
        return fail(device, ENOENT);
    g_frames = frames;
    return 0;
}

extern "C" int linux_v4l2_start_capturing(void)
{
    return 0;
}

extern "C" int linux_v4l2_get_fream(camera_frame *frame)
{
    if (g_frames.empty())
        std::exit(0);
    std::string entry = next_entry();
    if (entry == "!timeout") {
        errno = ETIMEDOUT;
        return -1;
    }
    if (entry == "!enodev")
        return fail("dequeue a buffer (VIDIOC_DQBUF)", ENODEV);
    if (entry == "!usr1" || entry == "!usr2")
        std::raise(entry == "!usr1" ? SIGUSR1 : SIGUSR2);
    else if (entry.rfind(SCREEN_EVENT, 0) == 0)
        setenv("VFB_LAYOUT", entry.c_str() + sizeof SCREEN_EVENT - 1, 1);
    else if (load(entry, frame) < 0)
        return -1;
    g_frames_fetched++;
    std::memcpy(framebuf, &g_frames_fetched, sizeof g_frames_fetched);
    return 0;
}
