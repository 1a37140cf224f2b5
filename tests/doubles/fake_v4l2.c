/* A V4L2 camera for one process, loaded with LD_PRELOAD in front of our real
 * camera library: "/dev/video7" opens a stand-in answering the calls the
 * library makes, with MJPEG frames from files.
 *
 * FAKE_V4L2_FRAMES lists one entry per dequeue, separated by ':':
 *   <path>         a complete frame holding the file's bytes
 *   error=<path>   the same bytes, flagged V4L2_BUF_FLAG_ERROR
 *   empty=<path>   the same bytes, bytesused 0
 *   nosoi=<path>   the same bytes, the start-of-image marker overwritten
 *   !timeout       poll finds nothing in time
 *   !pollerr       poll reports an error and the dequeue finds nothing
 *   !eio, !enodev  the dequeue fails with EIO or ENODEV
 * The wait after the last entry ends the process with status 0.
 * FAKE_V4L2_FAIL=<call>:<errno name> makes one call fail: open, QUERYCAP,
 * S_FMT, REQBUFS, QUERYBUF, mmap, QBUF, STREAMON. Without FAKE_V4L2_FRAMES
 * every call goes to the system. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#define DOUBLE_NAME "fake_v4l2"
#include "interpose.h"

enum { BUFFER_BYTES = 1 << 21, MAX_BUFFERS = 8, ENTRY_BYTES = 4096 };

static const char DEVICE[] = "/dev/video7";
static int device_fd = -1;
static unsigned char *buffers[MAX_BUFFERS];
static unsigned buffer_count, next_buffer;
static const char *entries; /* what is left of FAKE_V4L2_FRAMES */
static char entry[ENTRY_BYTES];
static int dequeue_pending_error; /* errno for the next dequeue, 0: a frame */

static int errno_named(const char *name)
{
    static const struct {
        const char *name;
        int value;
    } NAMES[] = {
        {"ENOENT", ENOENT}, {"EIO", EIO},       {"ENODEV", ENODEV}, {"EBUSY", EBUSY},
        {"ENOMEM", ENOMEM}, {"EINVAL", EINVAL}, {"ENOTTY", ENOTTY}, {"EACCES", EACCES},
    };
    for (size_t i = 0; i < sizeof NAMES / sizeof NAMES[0]; i++)
        if (strcmp(NAMES[i].name, name) == 0)
            return NAMES[i].value;
    fprintf(stderr, "fake_v4l2: unknown errno name %s\n", name);
    abort();
}

/* The errno FAKE_V4L2_FAIL chooses for this call, or 0. */
static int chosen_failure(const char *call)
{
    const char *fail = getenv("FAKE_V4L2_FAIL");
    size_t length = strlen(call);
    if (!fail || strncmp(fail, call, length) != 0 || fail[length] != ':')
        return 0;
    return errno_named(fail + length + 1);
}

static int fail_with(int err)
{
    errno = err;
    return -1;
}

/* Moves the next entry of FAKE_V4L2_FRAMES into entry; 0 when none is left. */
static int take_entry(void)
{
    if (!entries || !*entries)
        return 0;
    const char *end = strchr(entries, ':');
    size_t length = end ? (size_t)(end - entries) : strlen(entries);
    if (length >= ENTRY_BYTES)
        length = ENTRY_BYTES - 1;
    memcpy(entry, entries, length);
    entry[length] = '\0';
    entries = end ? end + 1 : entries + length;
    return 1;
}

static int open_device(int flags)
{
    int err = chosen_failure("open");
    if (err)
        return fail_with(err);
    entries = getenv("FAKE_V4L2_FRAMES");
    device_fd = memfd_create("fake-v4l2", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    return device_fd;
}

static int open_path(const char *name, const char *path, int flags, mode_t mode)
{
    int (*real_open)(const char *, int, ...) = next_symbol(name);
    if (!getenv("FAKE_V4L2_FRAMES") || strcmp(path, DEVICE) != 0)
        return real_open(path, flags, mode);
    return open_device(flags);
}

static void forget_fd(int fd)
{
    if (fd == device_fd)
        device_fd = -1;
}

/* The file's bytes into the buffer; the count, or 0 when it cannot be read. */
static size_t load_frame(const char *path, unsigned char *buffer)
{
    FILE *file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "fake_v4l2: cannot read %s\n", path);
        return 0;
    }
    size_t length = fread(buffer, 1, BUFFER_BYTES, file);
    fclose(file);
    return length;
}

/* True when entry is "<kind>=<path>". */
static int entry_is(const char *kind)
{
    size_t length = strlen(kind);
    return strncmp(entry, kind, length) == 0 && entry[length] == '=';
}

/* Fills the next buffer from entry as its prefix says. */
static int fill_buffer(struct v4l2_buffer *buf)
{
    unsigned index = next_buffer++ % buffer_count;
    const char *eq = strchr(entry, '=');
    unsigned char *bytes = buffers[index];
    size_t length = load_frame(eq ? eq + 1 : entry, bytes);
    buf->index = index;
    buf->flags = V4L2_BUF_FLAG_DONE;
    buf->bytesused = (unsigned)length;
    buf->length = BUFFER_BYTES;
    if (entry_is("error"))
        buf->flags |= V4L2_BUF_FLAG_ERROR;
    else if (entry_is("empty"))
        buf->bytesused = 0;
    else if (entry_is("nosoi") && length >= 2)
        bytes[0] = bytes[1] = 0;
    return 0;
}

static int dequeue(struct v4l2_buffer *buf)
{
    int err = dequeue_pending_error;
    dequeue_pending_error = 0;
    if (err)
        return fail_with(err);
    if (!buffers[0])
        return fail_with(EINVAL);
    return fill_buffer(buf);
}

static int describe_device(struct v4l2_capability *cap)
{
    memset(cap, 0, sizeof *cap);
    memcpy(cap->driver, "fake", 5);
    cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

static int list_size(struct v4l2_frmsizeenum *size)
{
    static const struct v4l2_frmsize_discrete SIZES[] = {{1280, 720}, {640, 480}, {320, 240}};
    if (size->index >= sizeof SIZES / sizeof SIZES[0] || size->pixel_format != V4L2_PIX_FMT_MJPEG)
        return fail_with(EINVAL);
    size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    size->discrete = SIZES[size->index];
    return 0;
}

static int grant_buffers(struct v4l2_requestbuffers *req)
{
    buffer_count = req->count < MAX_BUFFERS ? req->count : MAX_BUFFERS;
    req->count = buffer_count;
    return 0;
}

static int describe_buffer(struct v4l2_buffer *buf)
{
    if (buf->index >= buffer_count)
        return fail_with(EINVAL);
    buf->length = BUFFER_BYTES;
    buf->m.offset = buf->index * BUFFER_BYTES;
    return 0;
}

static int answer(unsigned long request, void *arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP: return describe_device(arg);
    case VIDIOC_ENUM_FRAMESIZES: return list_size(arg);
    case VIDIOC_S_FMT: return 0; /* MJPEG at the size asked for */
    case VIDIOC_REQBUFS: return grant_buffers(arg);
    case VIDIOC_QUERYBUF: return describe_buffer(arg);
    case VIDIOC_QBUF: return 0;
    case VIDIOC_STREAMON: return 0;
    case VIDIOC_DQBUF: return dequeue(arg);
    }
    return fail_with(ENOTTY);
}

static const char *request_name(unsigned long request)
{
    switch (request) {
    case VIDIOC_QUERYCAP: return "QUERYCAP";
    case VIDIOC_S_FMT: return "S_FMT";
    case VIDIOC_REQBUFS: return "REQBUFS";
    case VIDIOC_QUERYBUF: return "QUERYBUF";
    case VIDIOC_QBUF: return "QBUF";
    case VIDIOC_STREAMON: return "STREAMON";
    }
    return "";
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (fd < 0 || fd != device_fd) {
        int (*real_ioctl)(int, unsigned long, ...) = next_symbol("ioctl");
        return real_ioctl(fd, request, arg);
    }
    int err = *request_name(request) ? chosen_failure(request_name(request)) : 0;
    return err ? fail_with(err) : answer(request, arg);
}

static void *map_buffer(void *(*real_mmap)(void *, size_t, int, int, int, off_t), size_t len,
                        off_t offset)
{
    int err = chosen_failure("mmap");
    size_t index = (size_t)offset / BUFFER_BYTES;
    if (err || len != BUFFER_BYTES || index >= buffer_count) {
        errno = err ? err : EINVAL;
        return MAP_FAILED;
    }
    void *buffer = real_mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer != MAP_FAILED)
        buffers[index] = buffer;
    return buffer;
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    void *(*real_mmap)(void *, size_t, int, int, int, off_t) = next_symbol("mmap");
    if (fd < 0 || fd != device_fd)
        return real_mmap(addr, len, prot, flags, fd, offset);
    return map_buffer(real_mmap, len, offset);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t offset)
{
    void *(*real_mmap64)(void *, size_t, int, int, int, off64_t) = next_symbol("mmap64");
    if (fd < 0 || fd != device_fd)
        return real_mmap64(addr, len, prot, flags, fd, offset);
    return map_buffer(next_symbol("mmap"), len, (off_t)offset);
}

/* The device's readiness comes from the next entry; other descriptors wait as usual. */
int poll(struct pollfd *fds, nfds_t count, int timeout)
{
    int (*real_poll)(struct pollfd *, nfds_t, int) = next_symbol("poll");
    if (count != 1 || fds[0].fd < 0 || fds[0].fd != device_fd)
        return real_poll(fds, count, timeout);
    if (!take_entry())
        exit(0);
    fds[0].revents = POLLIN;
    if (strcmp(entry, "!timeout") == 0)
        return 0;
    if (strcmp(entry, "!pollerr") == 0) {
        fds[0].revents = POLLERR;
        dequeue_pending_error = EAGAIN;
    } else if (strcmp(entry, "!eio") == 0) {
        dequeue_pending_error = EIO;
    } else if (strcmp(entry, "!enodev") == 0) {
        dequeue_pending_error = ENODEV;
    }
    return 1;
}
