// Our camera library: MJPEG capture from a V4L2 device through mmap streaming.
// Each fetch delivers the newest complete frame the driver holds. When the
// device fails, the library lets go of it, so that it can be set up again.
#include "api_v4l2.h"
#include "camera_status.h"
#include "failure_line.h"
#include "frame_rules.h"
#include "monotonic_time.h"
#include "panel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <type_traits>
#include <unistd.h>

namespace {

constexpr frame_size SCREEN_LIMIT = {LCD_WIDTH, LCD_HEIGHT};
constexpr int FRAME_TIMEOUT_MS = 2000;
// The buffers asked for; a build may ask for another count
// (-DCAMERA_BUFFERS=n) to measure what it changes.
#ifndef CAMERA_BUFFERS
#define CAMERA_BUFFERS 4
#endif
constexpr uint32_t REQUESTED_BUFFERS = CAMERA_BUFFERS;
constexpr std::size_t MAX_FRAME_SIZES = 64;
constexpr std::size_t MAX_FRAME_INTERVALS = 64;

struct mapped_buffer {
    void *start;
    std::size_t length;
};

// A frame found complete in a dequeued buffer, its length and capture time.
struct kept_frame {
    uint32_t index;
    std::size_t length;
    bool time_known;
    timespec captured;
};

struct camera {
    int fd = -1;
    bool buffers_requested = false;
    bool streaming = false;
    mapped_buffer *buffers = nullptr; // one for each buffer the driver granted
    uint32_t buffer_count = 0;        // mapped
    frame_size size = {0, 0};
    v4l2_fract interval = {0, 0}; // per frame, {0, 0} when the camera does not tell
    uint32_t errors_in_row = 0;   // buffers given back flagged as errors, with nothing in them
    bool restarted = false;       // streaming was started again, and no frame came since
    char choice[FAILURE_LINE_BYTES] = ""; // the size and rate set, said in one line
    uint32_t frames_delivered = 0;
    uint32_t frames_skipped = 0;
    uint32_t frames_dropped = 0;
    uint32_t streams_started = 0;
    bool capture_time_known = false; // of the frame delivered last
    timespec captured = {0, 0};
};

camera g_camera;
told_failure g_told;                    // the last failure printed, until streaming starts
char g_told_choice[FAILURE_LINE_BYTES]; // the size and rate said last

static_assert(sizeof(camera_status) <= CAMERA_FRAMEBUF_BYTES, "status fits framebuf");

void publish_status()
{
    camera_status status = {g_camera.fd,
                            g_camera.buffer_count,
                            g_camera.size.width,
                            g_camera.size.height,
                            g_camera.frames_delivered,
                            g_camera.frames_skipped,
                            g_camera.frames_dropped,
                            g_camera.streams_started};
    std::memcpy(framebuf, &status, sizeof status);
}

// A camera that is set up again and again while it fails the same way is
// reported once, not at every try.
int report(const char *what)
{
    return report_new_failure(&g_told, "%s", what);
}

int refuse(const char *what, int err)
{
    errno = err;
    return report(what);
}

int xioctl(int fd, unsigned long request, void *arg)
{
    int result;
    do
        result = ioctl(fd, request, arg);
    while (result == -1 && errno == EINTR);
    return result;
}

v4l2_buffer mmap_buffer(uint32_t index)
{
    v4l2_buffer buf = {};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    return buf;
}

int request_buffers(v4l2_requestbuffers *req, uint32_t count)
{
    *req = {};
    req->count = count;
    req->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req->memory = V4L2_MEMORY_MMAP;
    return xioctl(g_camera.fd, VIDIOC_REQBUFS, req);
}

// Lets go of the camera in the order the kernel expects: stop streaming, unmap
// the buffers, free them, close. After a failure the device is often gone and
// refuses these calls; the close then frees what is left, so their failures
// are not reported.
void release_device()
{
    int err = errno;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v4l2_requestbuffers none;
    if (g_camera.streaming)
        xioctl(g_camera.fd, VIDIOC_STREAMOFF, &type);
    for (uint32_t i = 0; i < g_camera.buffer_count; i++)
        munmap(g_camera.buffers[i].start, g_camera.buffers[i].length);
    if (g_camera.buffers_requested)
        request_buffers(&none, 0);
    if (g_camera.fd >= 0)
        close(g_camera.fd);
    std::free(g_camera.buffers);
    g_camera.buffers = nullptr;
    g_camera.buffer_count = 0;
    g_camera.buffers_requested = false;
    g_camera.streaming = false;
    g_camera.fd = -1;
    publish_status();
    errno = err;
}

int open_device(const char *path)
{
    g_camera.fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (g_camera.fd < 0)
        return report_new_failure(&g_told, "open %s", path);
    return 0;
}

int check_capabilities()
{
    v4l2_capability cap = {};
    if (xioctl(g_camera.fd, VIDIOC_QUERYCAP, &cap) < 0)
        return report("query capabilities (VIDIOC_QUERYCAP)");
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
        return refuse("capture video (VIDIOC_QUERYCAP: no video capture)", ENODEV);
    if (!(caps & V4L2_CAP_STREAMING))
        return refuse("stream video (VIDIOC_QUERYCAP: no streaming I/O)", ENODEV);
    return 0;
}

std::size_t list_frame_sizes(frame_size *sizes, std::size_t max)
{
    std::size_t count = 0;
    v4l2_frmsizeenum entry = {};
    entry.pixel_format = V4L2_PIX_FMT_MJPEG;
    for (entry.index = 0; count + 1 < max; entry.index++) {
        if (xioctl(g_camera.fd, VIDIOC_ENUM_FRAMESIZES, &entry) < 0)
            break;
        if (entry.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes[count++] = {entry.discrete.width, entry.discrete.height};
            continue;
        }
        frame_size fit = largest_stepwise_fit(entry.stepwise, SCREEN_LIMIT);
        if (fit.width != 0)
            sizes[count++] = fit;
        sizes[count++] = {entry.stepwise.min_width, entry.stepwise.min_height};
        break; // a range is the only entry
    }
    return count;
}

std::size_t list_frame_intervals(v4l2_frmivalenum *listed, std::size_t max)
{
    std::size_t count = 0;
    v4l2_frmivalenum entry = {};
    entry.pixel_format = V4L2_PIX_FMT_MJPEG;
    entry.width = g_camera.size.width;
    entry.height = g_camera.size.height;
    for (entry.index = 0; count < max; entry.index++) {
        if (xioctl(g_camera.fd, VIDIOC_ENUM_FRAMEINTERVALS, &entry) < 0)
            break;
        listed[count++] = entry;
        if (entry.type != V4L2_FRMIVAL_TYPE_DISCRETE)
            break; // a range is the only entry
    }
    return count;
}

// Asks for the fastest frame interval the camera lists at the size set: many
// start at a slower one. A camera that lists none, or refuses it, keeps its
// own. Not being told the interval is no failure: the frames come anyway.
void set_frame_interval()
{
    v4l2_streamparm parm = {};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    g_camera.interval = {0, 0};
    if (xioctl(g_camera.fd, VIDIOC_G_PARM, &parm) < 0)
        return;
    v4l2_frmivalenum listed[MAX_FRAME_INTERVALS];
    v4l2_fract fastest;
    if ((parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) &&
        choose_fastest_interval(listed, list_frame_intervals(listed, MAX_FRAME_INTERVALS),
                                &fastest)) {
        v4l2_streamparm wanted = parm;
        wanted.parm.capture.timeperframe = fastest;
        if (xioctl(g_camera.fd, VIDIOC_S_PARM, &wanted) == 0)
            parm = wanted; // holds the interval the driver set
    }
    g_camera.interval = parm.parm.capture.timeperframe;
}

int set_format()
{
    frame_size offered[MAX_FRAME_SIZES];
    frame_size wanted = SCREEN_LIMIT; // the driver adjusts it when it enumerates nothing
    choose_frame_size(offered, list_frame_sizes(offered, MAX_FRAME_SIZES), SCREEN_LIMIT, &wanted);

    v4l2_format fmt = {};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = wanted.width;
    fmt.fmt.pix.height = wanted.height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(g_camera.fd, VIDIOC_S_FMT, &fmt) < 0)
        return report("set the MJPEG format (VIDIOC_S_FMT)");
    if (fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_MJPEG)
        return refuse("set the MJPEG format (VIDIOC_S_FMT: camera offers no MJPEG)", EINVAL);
    g_camera.size = {fmt.fmt.pix.width, fmt.fmt.pix.height};
    set_frame_interval(); // before the buffers: the interval may change the frames' largest size
    return 0;
}

// The line that says the size and rate set, for when streaming starts.
void describe_choice(const char *device)
{
    const v4l2_fract &interval = g_camera.interval;
    char rate[64] = ", its frame rate not told";
    if (interval.numerator != 0 && interval.denominator != 0)
        std::snprintf(rate, sizeof rate, " at %.4g frames a second",
                      double(interval.denominator) / interval.numerator);
    std::snprintf(g_camera.choice, sizeof g_camera.choice, "Camera %s: MJPEG %ux%u%s\n", device,
                  g_camera.size.width, g_camera.size.height, rate);
}

// Says the size and rate streamed at, when they differ from what was said
// last: a camera that comes back as it was is not told again.
void tell_choice()
{
    if (std::strcmp(g_camera.choice, g_told_choice) == 0)
        return;
    std::fputs(g_camera.choice, stderr);
    std::memcpy(g_told_choice, g_camera.choice, sizeof g_told_choice);
}

// Maps every buffer the driver grants. A driver grants more than asked when
// it needs more queued before it streams at all, and asking again gets the
// same answer: so all of them are mapped and queued, none left aside.
int map_buffers()
{
    v4l2_requestbuffers req;
    if (request_buffers(&req, REQUESTED_BUFFERS) < 0)
        return report("request buffers (VIDIOC_REQBUFS)");
    if (req.count == 0)
        return refuse("request buffers (VIDIOC_REQBUFS: none granted)", ENOMEM);
    g_camera.buffers_requested = true;
    g_camera.buffers = static_cast<mapped_buffer *>(std::calloc(req.count, sizeof(mapped_buffer)));
    if (!g_camera.buffers)
        return report("map the buffers (calloc)");

    for (uint32_t i = 0; i < req.count; i++) {
        v4l2_buffer buf = mmap_buffer(i);
        if (xioctl(g_camera.fd, VIDIOC_QUERYBUF, &buf) < 0)
            return report("query a buffer (VIDIOC_QUERYBUF)");
        void *start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, g_camera.fd,
                           buf.m.offset);
        if (start == MAP_FAILED)
            return report("map a buffer (mmap)");
        g_camera.buffers[i] = {start, buf.length};
        g_camera.buffer_count = i + 1;
    }
    return 0;
}

int queue_buffer(uint32_t index)
{
    v4l2_buffer buf = mmap_buffer(index);
    if (xioctl(g_camera.fd, VIDIOC_QBUF, &buf) < 0)
        return report("queue a buffer (VIDIOC_QBUF)");
    return 0;
}

// Queues every buffer and starts streaming; -1 on failure.
int start_streaming()
{
    for (uint32_t i = 0; i < g_camera.buffer_count; i++)
        if (queue_buffer(i) < 0)
            return -1;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(g_camera.fd, VIDIOC_STREAMON, &type) < 0)
        return report("start streaming (VIDIOC_STREAMON)");
    g_camera.streaming = true;
    g_camera.errors_in_row = 0;
    g_told = {};
    g_camera.streams_started++;
    return 0;
}

// A driver that gives every buffer back flagged as an error, with nothing in
// it, has stopped streaming after a failed transfer (uvcvideo does so, and
// waits for a new start): streaming is started again, once until a frame
// comes. -1 on failure.
int restart_streaming()
{
    if (g_camera.restarted)
        return refuse("restart streaming (every buffer came back flagged as an error)", EIO);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(g_camera.fd, VIDIOC_STREAMOFF, &type) < 0)
        return report("stop streaming (VIDIOC_STREAMOFF)");
    g_camera.streaming = false;
    g_camera.restarted = true;
    return start_streaming();
}

bool given_back_failed(const v4l2_buffer &buf)
{
    return (buf.flags & V4L2_BUF_FLAG_ERROR) && buf.bytesused == 0;
}

// 0 when the device has something to dequeue (device_error tells whether poll
// saw an error condition), -1 on failure, with ETIMEDOUT when nothing came in
// time. A signal does not prolong the wait: it goes on to the same end.
int wait_for_frame(bool *device_error)
{
    pollfd pfd = {g_camera.fd, POLLIN, 0};
    timespec start = monotonic_now();
    int ready, left_ms = FRAME_TIMEOUT_MS;
    while ((ready = poll(&pfd, 1, left_ms)) < 0 && errno == EINTR) {
        left_ms = FRAME_TIMEOUT_MS - int(seconds_between(start, monotonic_now()) * 1000);
        if (left_ms < 0)
            left_ms = 0;
    }
    if (ready < 0)
        return report("wait for a frame (poll)");
    if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    *device_error = pfd.revents & (POLLERR | POLLHUP | POLLNVAL);
    return 0;
}

const unsigned char *buffer_bytes(uint32_t index)
{
    return static_cast<const unsigned char *>(g_camera.buffers[index].start);
}

// The length of the frame a dequeued buffer holds, 0 for a buffer to skip.
std::size_t frame_length(const v4l2_buffer &buf)
{
    if (buf.index >= g_camera.buffer_count)
        return 0;
    return complete_frame_length(buf, buffer_bytes(buf.index), g_camera.buffers[buf.index].length);
}

// Dequeues what the driver has ready, at most one round of the buffers, and
// keeps the newest complete frame in *newest; every other buffer goes straight
// back to the driver. 1 when a frame was kept, 0 when none, -1 on failure.
int take_newest_frame(bool device_error, kept_frame *newest)
{
    int kept = 0;
    for (uint32_t taken = 0; taken < g_camera.buffer_count; taken++) {
        v4l2_buffer buf = mmap_buffer(0); // the driver tells which
        if (xioctl(g_camera.fd, VIDIOC_DQBUF, &buf) < 0) {
            if (errno != EAGAIN)
                return report("dequeue a buffer (VIDIOC_DQBUF)");
            if (taken == 0 && device_error)
                return refuse("dequeue a buffer (VIDIOC_DQBUF)", EIO);
            break;
        }
        std::size_t length = frame_length(buf);
        if (length == 0) {
            g_camera.frames_skipped++;
            if (queue_buffer(buf.index) < 0)
                return -1;
            g_camera.errors_in_row = given_back_failed(buf) ? g_camera.errors_in_row + 1 : 0;
            if (g_camera.errors_in_row < g_camera.buffer_count)
                continue;
            return restart_streaming() < 0 ? -1 : 0; // nothing was kept since the first error
        }
        g_camera.errors_in_row = 0;
        if (kept) {
            g_camera.frames_dropped++;
            if (queue_buffer(newest->index) < 0)
                return -1;
        }
        *newest = {buf.index, length, false, {0, 0}};
        newest->time_known = buffer_capture_time(buf, &newest->captured);
        kept = 1;
    }
    return kept;
}

// Copies the kept frame, which fits the record, into it and gives its buffer
// back; -1 on failure.
int deliver(const kept_frame &kept, camera_frame *frame)
{
    copy_complete_frame(buffer_bytes(kept.index), kept.length, frame);
    if (queue_buffer(kept.index) < 0)
        return -1;
    g_camera.frames_delivered++;
    g_camera.restarted = false;
    g_camera.capture_time_known = kept.time_known;
    g_camera.captured = kept.captured;
    return 1;
}

// A failed fetch: after a timeout the camera stays as it is; any other failure
// means it has gone, so all it held is let go of for a new start.
int fail_fetch()
{
    g_camera.capture_time_known = false;
    if (errno != ETIMEDOUT)
        release_device();
    publish_status();
    return -1;
}

// No frame came in time. When the last buffers came back flagged as errors,
// the driver gave back only those it held when a transfer failed, and has
// stopped: streaming is started again.
int time_out()
{
    if (g_camera.errors_in_row > 0 && restart_streaming() < 0)
        return fail_fetch();
    errno = ETIMEDOUT;
    return fail_fetch();
}

} // namespace

// The symbol named by CAMERA_STATUS_SYMBOL: framebuf holds our camera_status.
extern "C" const int camera_status_in_framebuf = 1;

// The function named by CAMERA_CAPTURE_TIME_SYMBOL.
extern "C" int camera_capture_time(timespec *captured)
{
    static_assert(std::is_same<decltype(camera_capture_time), camera_capture_time_function>::value,
                  "exported as declared");
    if (!g_camera.capture_time_known)
        return -1;
    *captured = g_camera.captured;
    return 0;
}

extern "C" int linux_v4l2_device_init(const char *device)
{
    release_device();
    if (open_device(device) < 0 || check_capabilities() < 0 || set_format() < 0 ||
        map_buffers() < 0) {
        release_device();
        return -1;
    }
    describe_choice(device);
    g_camera.restarted = false;
    publish_status();
    return 0;
}

extern "C" int linux_v4l2_start_capturing(void)
{
    if (g_camera.fd < 0)
        return refuse("start capturing (device not initialised)", EBADF);
    if (start_streaming() < 0) {
        release_device();
        return -1;
    }
    tell_choice();
    publish_status();
    return 0;
}

extern "C" int linux_v4l2_get_fream(camera_frame *frame)
{
    if (g_camera.fd < 0)
        return refuse("fetch a frame (device not initialised)", EBADF);
    for (;;) {
        bool device_error = false;
        kept_frame newest = {0, 0, false, {0, 0}};
        if (wait_for_frame(&device_error) < 0)
            return errno == ETIMEDOUT ? time_out() : fail_fetch();
        int kept = take_newest_frame(device_error, &newest);
        if (kept < 0 || (kept > 0 && deliver(newest, frame) < 0))
            return fail_fetch();
        publish_status();
        if (kept > 0)
            return 0;
    }
}
