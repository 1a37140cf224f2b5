/* A V4L2 camera for one process, loaded with LD_PRELOAD in front of our real
 * camera library: "/dev/video7" opens a stand-in answering the calls the
 * library makes, with MJPEG frames from files. It keeps each buffer's state as
 * a driver does: queued, filled and ready, or dequeued; a buffer queued twice
 * is refused, and a frame with no queued buffer to fill ends the process.
 *
 * FAKE_V4L2_FRAMES lists one entry per poll, separated by ':':
 *   <path>         a complete frame holding the file's bytes
 *   error=<path>   the same bytes, flagged V4L2_BUF_FLAG_ERROR
 *   empty=<path>   the same bytes, bytesused 0
 *   nosoi=<path>   the same bytes, the start-of-image marker overwritten
 *   cut=<path>     the same bytes, bytesused cut to six tenths of them
 *   padded=<path>  the same bytes, then 1000 zero bytes counted in bytesused
 *   aged<ms>=<path>  the same bytes, captured ms milliseconds before (negative:
 *                  after) the poll that finds them; others at that poll
 *   copied=<path>  the same bytes, their timestamp not on CLOCK_MONOTONIC
 *   <f>+<f>+...    several of the above ready at once, oldest first
 *   !timeout       poll finds nothing in time
 *   !pollerr       poll reports an error and the dequeue finds nothing
 *   !eio, !enodev  the dequeue fails with EIO or ENODEV
 *   !usr1          SIGUSR1 interrupts the wait for a frame (poll fails with EINTR)
 *   !usr1=<ms>     the same after ms milliseconds of a silent camera; a wait
 *                  of less time than that ends first, with nothing found
 *   !cancel        a transfer failed: every queued buffer is given back flagged
 *                  V4L2_BUF_FLAG_ERROR with no bytes, and no frame comes until
 *                  streaming is started again (STREAMOFF, STREAMON), as
 *                  uvcvideo does; the wait for a frame meanwhile times out
 *   !cancel=<n>    the same, but only n of the queued buffers are given back
 *                  (the others were with the program when it failed)
 *   !unplug=<n>    the camera goes away: its descriptor polls as an error and
 *                  fails every call with ENODEV; the path fails the next <n>
 *                  opens and accesses with ENOENT, then the camera is back
 * An entry followed by *<count> comes that many times. Entries go on where
 * they stopped when the device is opened again. The wait after the last entry
 * ends the process with status 0.
 * FAKE_V4L2_FAIL=<call>:<errno name>[:<first>-<last>] makes one call fail,
 * every time or only the calls counted first to last: open, QUERYCAP, S_FMT,
 * S_PARM, REQBUFS, QUERYBUF, mmap, QBUF, STREAMON.
 * Every size offers the frame intervals 1/15 s (the camera's own at each
 * open), 1/30 s and 1/5 s.
 * FAKE_V4L2_GRANT=<n> grants n buffers whatever count is asked, as a driver
 * does that needs more before it streams.
 * FAKE_V4L2_REPORT=<path> appends the process's descriptor and mapping counts
 * and the mappings' size ("census fds=<n> maps=<n> kib=<n>") at each !unplug
 * and at the end, and at the end the camera library's counters from framebuf
 * ("status delivered=<n> skipped=<n> dropped=<n> started=<n>").
 * The library must use the device as the kernel expects, or a line on standard
 * error says what it did wrong: open it with O_CLOEXEC, queue every buffer
 * granted before STREAMON, and release it with STREAMOFF, munmap, REQBUFS 0
 * and close, in that order (on a camera that went away those calls fail, but
 * are still noted).
 * Without FAKE_V4L2_FRAMES every call goes to the system. */
#define _GNU_SOURCE
#include "camera_status.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#define DOUBLE_NAME "fake_v4l2"
#include "interpose.h"

enum { BUFFER_BYTES = 1 << 21, MAX_BUFFERS = 64, ENTRY_BYTES = 4096, PADDING_BYTES = 1000 };
enum buffer_state { DEQUEUED, QUEUED, READY };

static const char DEVICE[] = "/dev/video7";
static int unplugged;         /* double_fd belongs to a camera that went away */
static int streaming;         /* STREAMON came, and no STREAMOFF since */
static unsigned absent_looks; /* opens and accesses still to fail with ENOENT */
static unsigned char *buffers[MAX_BUFFERS];
static enum buffer_state states[MAX_BUFFERS];
static struct v4l2_buffer filled[MAX_BUFFERS]; /* what each ready buffer holds */
static unsigned ready[MAX_BUFFERS];            /* ready buffers, oldest first */
static unsigned ready_count;
static unsigned buffer_count, next_buffer;
static const char *entries; /* what is left of FAKE_V4L2_FRAMES */
static int entries_taken;   /* from the environment, at the first open */
static char entry[ENTRY_BYTES];
static unsigned repeats_left;     /* more times entry comes */
static int dequeue_pending_error; /* errno for the next dequeue, 0: none */
static int stopped;               /* by a failed transfer, until STREAMON */
static unsigned stopped_waits;    /* polls that timed out since */
static const struct v4l2_fract INTERVALS[] = {{1, 15}, {1, 30}, {1, 5}};
static struct v4l2_fract interval; /* per frame, set at open and by S_PARM */

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
    static unsigned calls; /* of the call FAKE_V4L2_FAIL names */
    const char *fail = getenv("FAKE_V4L2_FAIL");
    size_t length = strlen(call);
    if (!fail || strncmp(fail, call, length) != 0 || fail[length] != ':')
        return 0;
    char name[16] = "";
    unsigned first = 1, last = UINT_MAX;
    sscanf(fail + length + 1, "%15[A-Z]:%u-%u", name, &first, &last);
    calls++;
    return calls >= first && calls <= last ? errno_named(name) : 0;
}

static void complain(const char *what)
{
    fprintf(stderr, "fake_v4l2: %s\n", what);
}

static int fail_with(int err)
{
    errno = err;
    return -1;
}

/* Appends one line to FAKE_V4L2_REPORT, when it is set. */
static void report_line(const char *line)
{
    const char *path = getenv("FAKE_V4L2_REPORT");
    FILE *file = path ? fopen(path, "a") : NULL;
    if (!file)
        return;
    fputs(line, file);
    fclose(file);
}

static int count_descriptors(void)
{
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    if (!dir)
        return -1;
    while (readdir(dir))
        count++;
    closedir(dir);
    return count - 3; /* ".", ".." and the folder's own descriptor */
}

/* The process's mappings and their size in KiB: adjacent anonymous mappings
 * show as one, so only the size tells that they grew. */
static void count_mappings(int *count, unsigned long *kib)
{
    FILE *maps = fopen("/proc/self/maps", "r");
    char line[4096];
    unsigned long start, end;
    *count = 0;
    *kib = 0;
    if (!maps)
        return;
    while (fgets(line, sizeof line, maps))
        if (sscanf(line, "%lx-%lx", &start, &end) == 2) {
            ++*count;
            *kib += (end - start) / 1024;
        }
    fclose(maps);
}

static void report_census(void)
{
    char line[96];
    int maps;
    unsigned long kib;
    count_mappings(&maps, &kib);
    snprintf(line, sizeof line, "census fds=%d maps=%d kib=%lu\n", count_descriptors(), maps, kib);
    report_line(line);
}

static void report_status(void)
{
    const struct camera_status *status = dlsym(RTLD_DEFAULT, "framebuf");
    char line[128];
    if (!status)
        return;
    snprintf(line, sizeof line, "status delivered=%u skipped=%u dropped=%u started=%u\n",
             status->frames_delivered, status->frames_skipped, status->frames_dropped,
             status->streams_started);
    report_line(line);
}

/* Moves the next entry of FAKE_V4L2_FRAMES into entry; 0 when none is left. */
static int take_entry(void)
{
    if (repeats_left > 0) {
        repeats_left--;
        return 1;
    }
    if (!entries || !*entries)
        return 0;
    const char *end = strchr(entries, ':');
    size_t length = end ? (size_t)(end - entries) : strlen(entries);
    if (length >= ENTRY_BYTES)
        length = ENTRY_BYTES - 1;
    memcpy(entry, entries, length);
    entry[length] = '\0';
    entries = end ? end + 1 : entries + length;
    char *star = strrchr(entry, '*');
    if (star) {
        unsigned long count = strtoul(star + 1, NULL, 10);
        repeats_left = count > 1 ? (unsigned)(count - 1) : 0;
        *star = '\0';
    }
    return 1;
}

/* True for a path that is the camera while it is away, counting the look. */
static int camera_absent(void)
{
    if (absent_looks == 0)
        return 0;
    absent_looks--;
    return 1;
}

static int open_device(int flags)
{
    int err = camera_absent() ? ENOENT : chosen_failure("open");
    if (err)
        return fail_with(err);
    if (!entries_taken)
        entries = getenv("FAKE_V4L2_FRAMES");
    entries_taken = 1;
    if (!(flags & O_CLOEXEC))
        complain("camera opened without O_CLOEXEC");
    double_fd = memfd_create("fake-v4l2", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    unplugged = 0;
    interval = INTERVALS[0];
    return double_fd;
}

static int open_path(const char *name, const char *path, int flags, mode_t mode)
{
    int (*real_open)(const char *, int, ...) = next_symbol(name);
    if (!getenv("FAKE_V4L2_FRAMES") || strcmp(path, DEVICE) != 0)
        return real_open(path, flags, mode);
    return open_device(flags);
}

int access(const char *path, int mode)
{
    int (*real_access)(const char *, int) = next_symbol("access");
    if (!getenv("FAKE_V4L2_FRAMES") || strcmp(path, DEVICE) != 0)
        return real_access(path, mode);
    return camera_absent() ? fail_with(ENOENT) : 0;
}

static void forget_double(void)
{
    if (streaming)
        complain("camera closed while streaming, without STREAMOFF");
    if (buffer_count)
        complain("camera closed with its buffers, without REQBUFS 0");
    unplugged = 0;
    streaming = 0;
    buffer_count = 0;
    ready_count = 0;
    memset(buffers, 0, sizeof buffers);
}

/* The file's bytes into the buffer; the count, or 0 when it cannot be read. */
static size_t load_frame(const char *path, unsigned char *buffer)
{
    FILE *file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "fake_v4l2: cannot read %s\n", path);
        return 0;
    }
    size_t length = fread(buffer, 1, BUFFER_BYTES - PADDING_BYTES, file);
    fclose(file);
    return length;
}

/* True when the frame is "<kind>=<path>". */
static int frame_is(const char *frame, const char *kind)
{
    size_t length = strlen(kind);
    return strncmp(frame, kind, length) == 0 && frame[length] == '=';
}

/* The next queued buffer, round the buffers from the last one filled. */
static unsigned queued_buffer(void)
{
    for (unsigned i = 0; i < buffer_count; i++) {
        unsigned index = (next_buffer + i) % buffer_count;
        if (states[index] == QUEUED) {
            next_buffer = index + 1;
            return index;
        }
    }
    fprintf(stderr, "fake_v4l2: no queued buffer for a frame\n");
    abort();
}

/* Fills a queued buffer from one frame of an entry, as its prefix says, and
 * makes it ready. */
/* The capture time of a frame ms milliseconds old, as a driver stamps it. */
static struct timeval captured_before(long ms)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long us = (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000 - (long long)ms * 1000;
    struct timeval stamp = {(time_t)(us / 1000000), (suseconds_t)(us % 1000000)};
    return stamp;
}

static void fill_buffer(const char *frame)
{
    unsigned index = queued_buffer();
    const char *eq = strchr(frame, '=');
    unsigned char *bytes = buffers[index];
    size_t length = load_frame(eq ? eq + 1 : frame, bytes);
    struct v4l2_buffer *buf = &filled[index];
    int aged = strncmp(frame, "aged", 4) == 0;
    memset(buf, 0, sizeof *buf);
    buf->index = index;
    buf->flags =
        V4L2_BUF_FLAG_DONE | (frame_is(frame, "copied") ? V4L2_BUF_FLAG_TIMESTAMP_COPY
                                                        : V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
    buf->timestamp = captured_before(aged ? strtol(frame + 4, NULL, 10) : 0);
    buf->bytesused = (unsigned)length;
    buf->length = BUFFER_BYTES;
    if (frame_is(frame, "error"))
        buf->flags |= V4L2_BUF_FLAG_ERROR;
    else if (frame_is(frame, "empty"))
        buf->bytesused = 0;
    else if (frame_is(frame, "nosoi") && length >= 2)
        bytes[0] = bytes[1] = 0;
    else if (frame_is(frame, "cut"))
        buf->bytesused = (unsigned)(length * 6 / 10);
    else if (frame_is(frame, "padded")) {
        memset(bytes + length, 0, PADDING_BYTES);
        buf->bytesused += PADDING_BYTES;
    }
    states[index] = READY;
    ready[ready_count++] = index;
}

/* Fills a buffer for each frame of entry: "<frame>+<frame>...". */
static void fill_buffers(void)
{
    char frames[ENTRY_BYTES];
    char *rest = frames, *frame;
    memcpy(frames, entry, sizeof frames);
    while ((frame = strsep(&rest, "+")))
        fill_buffer(frame);
}

static int dequeue(struct v4l2_buffer *buf)
{
    int err = dequeue_pending_error;
    dequeue_pending_error = 0;
    if (err)
        return fail_with(err);
    if (ready_count == 0)
        return fail_with(EAGAIN);
    unsigned index = ready[0];
    memmove(ready, ready + 1, --ready_count * sizeof ready[0]);
    states[index] = DEQUEUED;
    *buf = filled[index];
    return 0;
}

static int enqueue(const struct v4l2_buffer *buf)
{
    if (buf->index >= buffer_count || states[buf->index] != DEQUEUED || !buffers[buf->index])
        return fail_with(EINVAL);
    states[buf->index] = QUEUED;
    return 0;
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

static int list_interval(struct v4l2_frmivalenum *entry)
{
    if (entry->index >= sizeof INTERVALS / sizeof INTERVALS[0] ||
        entry->pixel_format != V4L2_PIX_FMT_MJPEG)
        return fail_with(EINVAL);
    entry->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    entry->discrete = INTERVALS[entry->index];
    return 0;
}

static int describe_streaming(struct v4l2_streamparm *parm)
{
    memset(&parm->parm, 0, sizeof parm->parm);
    parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parm->parm.capture.timeperframe = interval;
    return 0;
}

/* The interval asked for when it is one of the camera's, as uvcvideo keeps
 * the nearest; the answer holds the interval set. */
static int set_streaming(struct v4l2_streamparm *parm)
{
    const struct v4l2_fract *asked = &parm->parm.capture.timeperframe;
    if (streaming)
        return fail_with(EBUSY);
    for (size_t i = 0; i < sizeof INTERVALS / sizeof INTERVALS[0]; i++)
        if (INTERVALS[i].numerator == asked->numerator &&
            INTERVALS[i].denominator == asked->denominator)
            interval = INTERVALS[i];
    return describe_streaming(parm);
}

/* Every buffer with the library and none ready, as after REQBUFS or STREAMOFF. */
static void dequeue_all(void)
{
    ready_count = 0;
    for (unsigned i = 0; i < MAX_BUFFERS; i++)
        states[i] = DEQUEUED;
}

static int mapped_count(void)
{
    int count = 0;
    for (unsigned i = 0; i < MAX_BUFFERS; i++)
        count += buffers[i] != NULL;
    return count;
}

static int grant_buffers(struct v4l2_requestbuffers *req)
{
    const char *grant = getenv("FAKE_V4L2_GRANT");
    unsigned long count = grant && req->count ? strtoul(grant, NULL, 10) : req->count;
    if (streaming)
        return fail_with(EBUSY);
    if (req->count == 0 && mapped_count())
        complain("buffers freed (REQBUFS 0) while still mapped");
    buffer_count = count < MAX_BUFFERS ? (unsigned)count : MAX_BUFFERS;
    req->count = buffer_count;
    dequeue_all();
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

static int start_streaming(void)
{
    for (unsigned i = 0; i < buffer_count; i++)
        if (states[i] != QUEUED) {
            complain("streaming started with a buffer granted but not queued");
            break;
        }
    streaming = 1;
    stopped = 0;
    return 0;
}

static int stop_streaming(void)
{
    streaming = 0;
    dequeue_all();
    return 0;
}

static int answer_request(unsigned long request, void *arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP: return describe_device(arg);
    case VIDIOC_ENUM_FRAMESIZES: return list_size(arg);
    case VIDIOC_S_FMT: return 0; /* MJPEG at the size asked for */
    case VIDIOC_ENUM_FRAMEINTERVALS: return list_interval(arg);
    case VIDIOC_G_PARM: return describe_streaming(arg);
    case VIDIOC_S_PARM: return set_streaming(arg);
    case VIDIOC_REQBUFS: return grant_buffers(arg);
    case VIDIOC_QUERYBUF: return describe_buffer(arg);
    case VIDIOC_QBUF: return enqueue(arg);
    case VIDIOC_STREAMON: return start_streaming();
    case VIDIOC_STREAMOFF: return stop_streaming();
    case VIDIOC_DQBUF: return dequeue(arg);
    }
    return fail_with(ENOTTY);
}

static const char *request_name(unsigned long request)
{
    switch (request) {
    case VIDIOC_QUERYCAP: return "QUERYCAP";
    case VIDIOC_S_FMT: return "S_FMT";
    case VIDIOC_S_PARM: return "S_PARM";
    case VIDIOC_REQBUFS: return "REQBUFS";
    case VIDIOC_QUERYBUF: return "QUERYBUF";
    case VIDIOC_QBUF: return "QBUF";
    case VIDIOC_STREAMON: return "STREAMON";
    }
    return "";
}

static int is_release(unsigned long request, void *arg)
{
    return request == VIDIOC_STREAMOFF ||
           (request == VIDIOC_REQBUFS && ((struct v4l2_requestbuffers *)arg)->count == 0);
}

static int answer_ioctl(unsigned long request, void *arg)
{
    if (unplugged) {
        if (is_release(request, arg))
            answer_request(request, arg);
        return fail_with(ENODEV);
    }
    int err = *request_name(request) ? chosen_failure(request_name(request)) : 0;
    return err ? fail_with(err) : answer_request(request, arg);
}

/* Fresh memory for the buffer the offset names, readable and writable
 * whatever the protection and flags asked for. */
static void *map_double(mmap_function real_mmap, size_t len, int prot, int flags, off_t offset)
{
    (void)prot, (void)flags;
    int err = unplugged ? ENODEV : chosen_failure("mmap");
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

int munmap(void *addr, size_t len)
{
    int (*real_munmap)(void *, size_t) = next_symbol("munmap");
    for (unsigned i = 0; addr && i < MAX_BUFFERS; i++)
        if (buffers[i] == addr) {
            if (streaming)
                complain("buffer unmapped while streaming, before STREAMOFF");
            buffers[i] = NULL;
        }
    return real_munmap(addr, len);
}

static void end_of_entries(void)
{
    report_census();
    report_status();
    exit(0);
}

/* Gives up to limit queued buffers back, flagged as an error and empty. */
static void fail_transfer(unsigned limit)
{
    for (unsigned i = 0; i < buffer_count && limit > 0; i++)
        if (states[i] == QUEUED) {
            limit--;
            struct v4l2_buffer *buf = &filled[i];
            memset(buf, 0, sizeof *buf);
            buf->index = i;
            buf->flags =
                V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_ERROR | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            buf->length = BUFFER_BYTES;
            states[i] = READY;
            ready[ready_count++] = i;
        }
    stopped = 1;
    stopped_waits = 0;
}

/* An entry that is an event rather than frames: how poll answers it. */
static int answer_event(struct pollfd *fd, int timeout)
{
    if (strcmp(entry, "!timeout") == 0)
        return 0;
    if (strncmp(entry, "!usr1", 5) == 0) {
        long silent_ms = entry[5] == '=' ? strtol(entry + 6, NULL, 10) : 0;
        int times_out = timeout >= 0 && timeout <= silent_ms;
        long ms = times_out ? timeout : silent_ms;
        struct timespec silence = {ms / 1000, ms % 1000 * 1000000};
        while (nanosleep(&silence, &silence) < 0 && errno == EINTR)
            continue;
        if (times_out)
            return 0;
        raise(SIGUSR1);
        errno = EINTR;
        return -1;
    }
    if (strncmp(entry, "!unplug=", 8) == 0) {
        report_census();
        unplugged = 1;
        absent_looks = (unsigned)strtoul(entry + 8, NULL, 10);
        fd->revents = POLLERR | POLLHUP;
    } else if (strncmp(entry, "!cancel", 7) == 0) {
        fail_transfer(entry[7] == '=' ? (unsigned)strtoul(entry + 8, NULL, 10) : MAX_BUFFERS);
    } else if (strcmp(entry, "!pollerr") == 0) {
        fd->revents = POLLERR;
    } else if (strcmp(entry, "!eio") == 0) {
        dequeue_pending_error = EIO;
    } else if (strcmp(entry, "!enodev") == 0) {
        dequeue_pending_error = ENODEV;
    }
    return 1;
}

/* The device's readiness comes from the next entry; other descriptors wait as usual. */
int poll(struct pollfd *fds, nfds_t count, int timeout)
{
    int (*real_poll)(struct pollfd *, nfds_t, int) = next_symbol("poll");
    if (count != 1 || fds[0].fd < 0 || fds[0].fd != double_fd)
        return real_poll(fds, count, timeout);
    if (unplugged) {
        fds[0].revents = POLLERR | POLLHUP;
        return 1;
    }
    if (stopped) {
        if (++stopped_waits < 3)
            return 0;
        complain("streaming stopped by a failed transfer, never started again");
        end_of_entries();
    }
    if (!take_entry())
        end_of_entries();
    fds[0].revents = POLLIN;
    if (entry[0] == '!')
        return answer_event(&fds[0], timeout);
    fill_buffers();
    return 1;
}
