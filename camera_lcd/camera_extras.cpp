#include "camera_extras.h"

#include "api_v4l2.h"

#include <cstring>
#include <dlfcn.h>

bool camera_status_known(camera_status *status)
{
    if (!dlsym(RTLD_DEFAULT, CAMERA_STATUS_SYMBOL))
        return false;
    std::memcpy(status, framebuf, sizeof *status);
    return true;
}

namespace {

// Looked up at the first call: the camera library is loaded with the program
// and stays. Plain variables, not a function's static, whose guarded
// initialisation would need libstdc++ at run time.
camera_capture_time_function *g_capture_time;
bool g_capture_time_looked_up;

} // namespace

bool frame_capture_time(timespec *captured)
{
    if (!g_capture_time_looked_up) {
        g_capture_time = reinterpret_cast<camera_capture_time_function *>(
            dlsym(RTLD_DEFAULT, CAMERA_CAPTURE_TIME_SYMBOL));
        g_capture_time_looked_up = true;
    }
    return g_capture_time && g_capture_time(captured) == 0;
}

bool capture_to_screen(const timespec &captured, const timespec &shown, double *seconds)
{
    *seconds = seconds_between(captured, shown);
    return *seconds >= 0 && *seconds <= LATENCY_LIMIT_SECONDS;
}
