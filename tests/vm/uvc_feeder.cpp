// A USB MJPEG camera made of the kernel's UVC gadget function on dummy_hcd:
// the VM's uvcvideo drives it as it would a webcam.
//
//   uvc_feeder [--size WxH]... [--interval N[,N...]] [--default N] [--max-frame BYTES]
//              [--hold FILE] [--repeat] FRAME...
//
// Makes the configfs gadget "lcdvm" (unless there) with one MJPEG format of
// the given sizes (default 640x480), each with the given frame intervals in
// 100 ns units (default 333333) and the default one (default the first),
// binds it to the first UDC, and serves the host from the gadget's V4L2
// output node: PROBE and COMMIT, then on each STREAMON the frames in order
// from the first, one per committed interval; with --hold the first until
// FILE exists; after the last one none (or with --repeat the last again).
// Frames go out whole, whatever the size announced to the host in
// dwMaxVideoFrameSize: --max-frame sets it (default width x height x 2).
// When the gadget's node goes (unbound from its UDC: unplugged) it waits
// for it to come back (bound again). Prints "ready NODE", "streamon WxH
// INTERVAL", "held FILE", "frame N FILE", "done N", "streamoff",
// "disconnect" and "unplugged" as they happen.
#include "screen_image.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/g_uvc.h>
#include <linux/usb/video.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

const std::string gadget = "/sys/kernel/config/usb_gadget/lcdvm";
const std::string function = "uvc.usb0";
const unsigned max_payload = 3072; // three 1024-byte packets a microframe
const unsigned buffer_count = 4;

struct Size {
    unsigned width, height;
};

struct Options {
    std::vector<Size> sizes;
    std::vector<unsigned> intervals;
    unsigned default_interval = 0;
    unsigned max_frame = 0;
    const char *hold = nullptr;
    bool repeat = false;
    std::vector<std::string> paths;
    std::vector<std::vector<unsigned char>> frames;
};

struct Stream {
    bool on = false;
    std::vector<void *> maps;
    std::vector<unsigned> lengths;
    std::vector<unsigned> free;
    size_t next = 0; // the frame to send
    bool done = false;
    timespec due{};
    long period_ns = 0;
};

struct Camera {
    explicit Camera(const Options &o) : opt(o) {}
    const Options &opt;
    int fd = -1;
    unsigned streaming_intf = 1;
    uvc_streaming_control probe{}, commit{};
    unsigned setting = 0; // the control a SET_CUR's data is for
    unsigned char error_code = 0;
    Stream stream;
};

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "uvc_feeder: Unable to %s: %s (%d)\n", what.c_str(), std::strerror(errno),
                 errno);
    std::exit(1);
}

int xioctl(int fd, unsigned long request, void *arg)
{
    int r;
    do
        r = ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

void write_attr(const std::string &path, const std::string &value)
{
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || write(fd, value.data(), value.size()) != static_cast<ssize_t>(value.size()))
        fail("write '" + value + "' to " + path);
    close(fd);
}

std::string read_attr(const std::string &path)
{
    std::vector<unsigned char> bytes;
    if (!read_file(path, bytes))
        return "";
    std::string s(bytes.begin(), bytes.end());
    return s.substr(0, s.find('\n'));
}

void make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) < 0 && errno != EEXIST)
        fail("mkdir " + path);
}

void make_link(const std::string &target, const std::string &link)
{
    if (symlink(target.c_str(), link.c_str()) < 0)
        fail("symlink " + link);
}

unsigned announced_size(const Options &opt, const Size &s)
{
    return opt.max_frame ? opt.max_frame : s.width * s.height * 2;
}

// The gadget's buffers must hold every frame, the oversized ones too.
unsigned buffer_size(const Options &opt, const Size &s)
{
    size_t largest = 0;
    for (const auto &f : opt.frames)
        largest = std::max(largest, f.size());
    return std::max<unsigned>(s.width * s.height * 2, largest);
}

void make_gadget(const Options &opt)
{
    if (access("/sys/kernel/config/usb_gadget", F_OK) != 0 &&
        mount("configfs", "/sys/kernel/config", "configfs", 0, nullptr) < 0)
        fail("mount configfs on /sys/kernel/config");
    if (access(gadget.c_str(), F_OK) == 0)
        return;
    make_dir(gadget);
    write_attr(gadget + "/idVendor", "0x1d6b");
    write_attr(gadget + "/idProduct", "0x0104");
    make_dir(gadget + "/strings/0x409");
    write_attr(gadget + "/strings/0x409/manufacturer", "lcdvm");
    write_attr(gadget + "/strings/0x409/product", "vm-usb-camera");
    const std::string f = gadget + "/functions/" + function;
    make_dir(f);
    write_attr(f + "/streaming_maxpacket", std::to_string(max_payload));
    make_dir(f + "/control/header/h");
    make_link(f + "/control/header/h", f + "/control/class/fs/h");
    make_link(f + "/control/header/h", f + "/control/class/ss/h");
    make_dir(f + "/streaming/mjpeg/m");
    std::string intervals;
    for (unsigned i : opt.intervals)
        intervals += std::to_string(i) + "\n";
    for (const Size &s : opt.sizes) {
        std::string d =
            f + "/streaming/mjpeg/m/" + std::to_string(s.width) + "x" + std::to_string(s.height);
        make_dir(d);
        write_attr(d + "/wWidth", std::to_string(s.width));
        write_attr(d + "/wHeight", std::to_string(s.height));
        write_attr(d + "/dwMaxVideoFrameBufferSize", std::to_string(buffer_size(opt, s)));
        write_attr(d + "/dwFrameInterval", intervals);
        write_attr(d + "/dwDefaultFrameInterval", std::to_string(opt.default_interval));
    }
    make_dir(f + "/streaming/header/h");
    make_link(f + "/streaming/mjpeg/m", f + "/streaming/header/h/m");
    for (const char *speed : {"fs", "hs", "ss"})
        make_link(f + "/streaming/header/h", f + "/streaming/class/" + speed + "/h");
    make_dir(gadget + "/configs/c.1");
    make_dir(gadget + "/configs/c.1/strings/0x409");
    write_attr(gadget + "/configs/c.1/strings/0x409/configuration", "camera");
    make_link(f, gadget + "/configs/c.1/" + function);
}

// The gadget's output node, once bound to a UDC; "" while unbound.
std::string gadget_node()
{
    DIR *dir = opendir("/sys/class/video4linux");
    if (!dir)
        return "";
    std::string node;
    while (dirent *e = readdir(dir))
        if (read_attr(std::string("/sys/class/video4linux/") + e->d_name + "/function_name") ==
            function)
            node = std::string("/dev/") + e->d_name;
    closedir(dir);
    return node;
}

void bind_gadget()
{
    if (!read_attr(gadget + "/UDC").empty())
        return;
    DIR *dir = opendir("/sys/class/udc");
    if (!dir)
        fail("opendir /sys/class/udc");
    std::string udc;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            udc = e->d_name;
    closedir(dir);
    if (udc.empty()) {
        errno = ENODEV;
        fail("find a UDC in /sys/class/udc");
    }
    write_attr(gadget + "/UDC", udc);
}

// Waits for the node (it comes back when the gadget is bound again).
void open_gadget(Camera &cam)
{
    std::string node;
    while ((node = gadget_node()).empty() || access(node.c_str(), F_OK) != 0)
        usleep(100000);
    cam.fd = open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (cam.fd < 0)
        fail("open " + node);
    for (unsigned type = UVC_EVENT_FIRST; type <= UVC_EVENT_LAST; ++type) {
        v4l2_event_subscription sub{};
        sub.type = type;
        if (xioctl(cam.fd, VIDIOC_SUBSCRIBE_EVENT, &sub) < 0)
            fail("subscribe to UVC event " + std::to_string(type - UVC_EVENT_FIRST));
    }
    std::string intf = read_attr(gadget + "/functions/" + function + "/streaming/bInterfaceNumber");
    cam.streaming_intf = std::strtoul(intf.c_str(), nullptr, 10);
    std::printf("ready %s\n", node.c_str());
}

// A camera's answer to a probe: the size asked for (or the nearest index),
// the supported interval nearest to the one asked for.
uvc_streaming_control negotiate(const Options &opt, const uvc_streaming_control &asked)
{
    uvc_streaming_control c{};
    c.bmHint = htole16(1);
    c.bFormatIndex = 1;
    c.bFrameIndex = std::clamp<unsigned>(asked.bFrameIndex, 1, opt.sizes.size());
    unsigned want = le32toh(asked.dwFrameInterval), best = opt.default_interval;
    for (unsigned i : opt.intervals)
        if (want && std::labs(long(i) - long(want)) < std::labs(long(best) - long(want)))
            best = i;
    c.dwFrameInterval = htole32(best);
    c.dwMaxVideoFrameSize = htole32(announced_size(opt, opt.sizes[c.bFrameIndex - 1]));
    c.dwMaxPayloadTransferSize = htole32(max_payload);
    c.bmFramingInfo = 3;
    c.bPreferedVersion = c.bMinVersion = c.bMaxVersion = 1;
    return c;
}

void send_response(Camera &cam, const void *data, int length)
{
    uvc_request_data r{};
    r.length = length;
    if (data)
        std::memcpy(r.data, data, std::min<size_t>(length, sizeof r.data));
    if (xioctl(cam.fd, UVCIOC_SEND_RESPONSE, &r) < 0 && errno != ENODEV)
        fail("UVCIOC_SEND_RESPONSE");
}

// Answers PROBE and COMMIT on the streaming interface and the request
// error code; stalls the rest (no unit's controls here).
void answer_setup(Camera &cam, const usb_ctrlrequest &req)
{
    unsigned selector = le16toh(req.wValue) >> 8, intf = le16toh(req.wIndex) & 0xff;
    unsigned length = std::min<unsigned>(le16toh(req.wLength), sizeof(uvc_streaming_control));
    bool streaming = (req.bRequestType & USB_RECIP_MASK) == USB_RECIP_INTERFACE &&
                     intf == cam.streaming_intf &&
                     (selector == UVC_VS_PROBE_CONTROL || selector == UVC_VS_COMMIT_CONTROL);
    if (!streaming) {
        if (intf != cam.streaming_intf && selector == UVC_VC_REQUEST_ERROR_CODE_CONTROL &&
            (le16toh(req.wIndex) >> 8) == 0 && req.bRequest == UVC_GET_CUR)
            return send_response(cam, &cam.error_code, 1);
        cam.error_code = 6; // invalid control
        return send_response(cam, nullptr, -EL2HLT);
    }
    cam.error_code = 0;
    uvc_streaming_control c = selector == UVC_VS_PROBE_CONTROL ? cam.probe : cam.commit;
    unsigned short len = htole16(sizeof c);
    unsigned char info = 3; // GET and SET
    switch (req.bRequest) {
    case UVC_SET_CUR:
        cam.setting = selector;
        return send_response(cam, nullptr, le16toh(req.wLength));
    case UVC_GET_CUR: return send_response(cam, &c, length);
    case UVC_GET_DEF:
    case UVC_GET_MIN:
    case UVC_GET_MAX:
        c = negotiate(cam.opt, uvc_streaming_control{});
        return send_response(cam, &c, length);
    case UVC_GET_LEN: return send_response(cam, &len, 2);
    case UVC_GET_INFO: return send_response(cam, &info, 1);
    }
    cam.error_code = 7; // invalid request
    send_response(cam, nullptr, -EL2HLT);
}

void take_data(Camera &cam, const uvc_request_data &data)
{
    uvc_streaming_control asked{};
    std::memcpy(&asked, data.data, std::min<size_t>(std::max(data.length, 0), sizeof asked));
    if (cam.setting == UVC_VS_PROBE_CONTROL)
        cam.probe = negotiate(cam.opt, asked);
    else if (cam.setting == UVC_VS_COMMIT_CONTROL)
        cam.commit = negotiate(cam.opt, asked);
    cam.setting = 0;
}

v4l2_buffer output_buffer(unsigned index)
{
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = index;
    return b;
}

int request_buffers(int fd, unsigned *count)
{
    v4l2_requestbuffers req{};
    req.count = *count;
    req.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    req.memory = V4L2_MEMORY_MMAP;
    int result = xioctl(fd, VIDIOC_REQBUFS, &req);
    *count = req.count;
    return result;
}

void stop_stream(Camera &cam)
{
    Stream &s = cam.stream;
    if (!s.on)
        return;
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (xioctl(cam.fd, VIDIOC_STREAMOFF, &type) < 0 && errno != ENODEV)
        fail("VIDIOC_STREAMOFF");
    for (size_t i = 0; i < s.maps.size(); ++i)
        munmap(s.maps[i], s.lengths[i]);
    unsigned none = 0;
    if (request_buffers(cam.fd, &none) < 0 && errno != ENODEV)
        fail("VIDIOC_REQBUFS 0");
    s = Stream{};
}

void start_stream(Camera &cam)
{
    stop_stream(cam);
    const Size &size = cam.opt.sizes[cam.commit.bFrameIndex - 1];
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = size.width;
    fmt.fmt.pix.height = size.height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    if (xioctl(cam.fd, VIDIOC_S_FMT, &fmt) < 0)
        fail("VIDIOC_S_FMT");
    unsigned granted = buffer_count;
    if (request_buffers(cam.fd, &granted) < 0)
        fail("VIDIOC_REQBUFS");
    Stream &s = cam.stream;
    for (unsigned i = 0; i < granted; ++i) {
        v4l2_buffer b = output_buffer(i);
        if (xioctl(cam.fd, VIDIOC_QUERYBUF, &b) < 0)
            fail("VIDIOC_QUERYBUF");
        void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, cam.fd, b.m.offset);
        if (p == MAP_FAILED)
            fail("mmap buffer " + std::to_string(i));
        s.maps.push_back(p);
        s.lengths.push_back(b.length);
        s.free.push_back(i);
    }
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (xioctl(cam.fd, VIDIOC_STREAMON, &type) < 0)
        fail("VIDIOC_STREAMON");
    s.on = true;
    s.period_ns = le32toh(cam.commit.dwFrameInterval) * 100L;
    clock_gettime(CLOCK_MONOTONIC, &s.due);
    std::printf("streamon %ux%u %u\n", size.width, size.height,
                le32toh(cam.commit.dwFrameInterval));
}

// Queues the frame that is due, if a buffer is free.
void send_frame(Camera &cam)
{
    Stream &s = cam.stream;
    const Options &opt = cam.opt;
    bool held = opt.hold && access(opt.hold, F_OK) != 0;
    size_t i = held ? 0 : std::min(s.next, opt.frames.size() - 1);
    v4l2_buffer b = output_buffer(s.free.back());
    b.bytesused = std::min<size_t>(opt.frames[i].size(), s.lengths[b.index]);
    std::memcpy(s.maps[b.index], opt.frames[i].data(), b.bytesused);
    if (xioctl(cam.fd, VIDIOC_QBUF, &b) < 0)
        fail("VIDIOC_QBUF");
    s.free.pop_back();
    if (held) {
        std::printf("held %s\n", opt.paths[0].c_str());
    } else if (!s.done) {
        std::printf("frame %zu %s\n", i, opt.paths[i].c_str());
        if (++s.next == opt.frames.size()) {
            s.done = true;
            std::printf("done %zu\n", opt.frames.size());
        }
    }
    s.due.tv_nsec += s.period_ns;
    s.due.tv_sec += s.due.tv_nsec / 1000000000;
    s.due.tv_nsec %= 1000000000;
}

void reclaim_buffers(Camera &cam)
{
    v4l2_buffer b = output_buffer(0);
    while (xioctl(cam.fd, VIDIOC_DQBUF, &b) == 0)
        cam.stream.free.push_back(b.index);
    if (errno != EAGAIN && errno != EINVAL && errno != ENODEV)
        fail("VIDIOC_DQBUF");
}

void handle_events(Camera &cam)
{
    v4l2_event ev{};
    while (xioctl(cam.fd, VIDIOC_DQEVENT, &ev) == 0) {
        auto *uvc = reinterpret_cast<uvc_event *>(ev.u.data);
        switch (ev.type) {
        case UVC_EVENT_CONNECT:
            cam.probe = cam.commit = negotiate(cam.opt, uvc_streaming_control{});
            break;
        case UVC_EVENT_SETUP: answer_setup(cam, uvc->req); break;
        case UVC_EVENT_DATA: take_data(cam, uvc->data); break;
        case UVC_EVENT_STREAMON: start_stream(cam); break;
        case UVC_EVENT_STREAMOFF:
        case UVC_EVENT_DISCONNECT:
            stop_stream(cam);
            std::printf(ev.type == UVC_EVENT_STREAMOFF ? "streamoff\n" : "disconnect\n");
            break;
        }
    }
    if (errno != ENOENT && errno != ENODEV)
        fail("VIDIOC_DQEVENT");
}

long ms_until(const timespec &t)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (t.tv_sec - now.tv_sec) * 1000 + (t.tv_nsec - now.tv_nsec) / 1000000;
    return std::max(ms, 0L);
}

bool sending(const Camera &cam)
{
    const Stream &s = cam.stream;
    return s.on && !s.free.empty() && (!s.done || cam.opt.repeat);
}

// Serves the host until the node goes away.
void serve(Camera &cam)
{
    for (;;) {
        Stream &s = cam.stream;
        pollfd p{cam.fd, static_cast<short>(POLLPRI | (s.on ? POLLOUT : 0)), 0};
        long timeout = sending(cam) ? ms_until(s.due) : 1000;
        int n = poll(&p, 1, timeout);
        if (n < 0 && errno != EINTR)
            fail("poll the gadget's node");
        if (p.revents & POLLHUP)
            return;
        if (p.revents & POLLPRI)
            handle_events(cam);
        if (s.on && (p.revents & (POLLOUT | POLLERR)))
            reclaim_buffers(cam);
        if (sending(cam) && ms_until(s.due) == 0)
            send_frame(cam);
    }
}

void parse_args(int argc, char **argv, Options &opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--size" && has_value) {
            Size s{};
            if (std::sscanf(argv[++i], "%ux%u", &s.width, &s.height) != 2 || !s.width || !s.height)
                break;
            opt.sizes.push_back(s);
        } else if (a == "--interval" && has_value) {
            for (char *p = argv[++i]; *p; p += *p == ',')
                opt.intervals.push_back(std::strtoul(p, &p, 10));
        } else if (a == "--default" && has_value) {
            opt.default_interval = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--max-frame" && has_value) {
            opt.max_frame = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--hold" && has_value) {
            opt.hold = argv[++i];
        } else if (a == "--repeat") {
            opt.repeat = true;
        } else if (a.rfind("--", 0) != 0) {
            opt.paths.push_back(a);
        } else {
            break;
        }
    }
    if (opt.sizes.empty())
        opt.sizes.push_back({640, 480});
    if (opt.intervals.empty())
        opt.intervals.push_back(333333);
    if (!opt.default_interval)
        opt.default_interval = opt.intervals[0];
    bool bad = std::count(opt.intervals.begin(), opt.intervals.end(), 0u) > 0 ||
               std::count(opt.intervals.begin(), opt.intervals.end(), opt.default_interval) == 0;
    if (opt.paths.empty() || bad) {
        std::fprintf(stderr,
                     "usage: uvc_feeder [--size WxH]... [--interval N[,N...]] [--default N]\n"
                     "                  [--max-frame BYTES] [--hold FILE] [--repeat] FRAME...\n");
        std::exit(2);
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    parse_args(argc, argv, opt);
    for (const std::string &path : opt.paths) {
        opt.frames.emplace_back();
        if (!read_file(path, opt.frames.back()))
            fail("read " + path);
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    make_gadget(opt);
    bind_gadget();
    Camera cam{opt};
    for (;;) {
        open_gadget(cam);
        serve(cam);
        stop_stream(cam);
        close(cam.fd);
        std::printf("unplugged\n");
    }
}
