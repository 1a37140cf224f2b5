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

bool frame_capture_time(timespec *captured)
{
    // Looked up once: the camera library is loaded with the program and stays.
    static auto *capture_time = reinterpret_cast<camera_capture_time_function *>(
        dlsym(RTLD_DEFAULT, CAMERA_CAPTURE_TIME_SYMBOL));
    return capture_time && capture_time(captured) == 0;
}

timespec monotonic_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

double seconds_between(const timespec &from, const timespec &to)
{
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
}

bool capture_to_screen(const timespec &captured, const timespec &shown, double *seconds)
{
    *seconds = seconds_between(captured, shown);
    return *seconds >= 0 && *seconds <= LATENCY_LIMIT_SECONDS;
}
