// Feeds JPEG files into a v4l2loopback device as an MJPEG camera.
//
//   vm_feeder [--hold FILE] DEVICE FPS FRAME|@FPS...
//
// Sets the output format from the first frame that is a JPEG, then write()s
// each file once, in order, FPS times a second; an argument @N among the
// frames sets the rate to N a second from the next frame on. With --hold it
// repeats the first frame until FILE exists, so a reader can start streaming first. Any
// file goes: an empty one makes an empty buffer, a non-JPEG one a corrupt
// frame. Prints "held FILE" after each repeat of the first frame, "frame N
// FILE" after each write and "done N" at the end, then exits, which leaves
// readers without new frames.
#include "screen_image.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

struct Frame {
    std::string path;
    const std::vector<unsigned char> &bytes;
    long period_ns; // until the next frame
};

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "vm_feeder: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Width and height from the first start-of-frame marker, or false.
bool jpeg_size(const std::vector<unsigned char> &b, unsigned &width, unsigned &height)
{
    if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8)
        return false;
    size_t i = 2;
    while (i + 9 < b.size() && b[i] == 0xFF) {
        unsigned marker = b[i + 1];
        unsigned length = b[i + 2] << 8 | b[i + 3];
        bool sof =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof) {
            height = b[i + 5] << 8 | b[i + 6];
            width = b[i + 7] << 8 | b[i + 8];
            return true;
        }
        i += 2 + length;
    }
    return false;
}

void set_format(int fd, unsigned width, unsigned height)
{
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = width;
    fmt.fmt.pix.height = height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    if (ioctl(fd, VIDIOC_S_FMT, &fmt) < 0)
        fail("VIDIOC_S_FMT");
}

void write_frame(int fd, const Frame &f)
{
    ssize_t n = write(fd, f.bytes.data(), f.bytes.size());
    if (n < 0)
        fail("write " + f.path);
    if (static_cast<size_t>(n) != f.bytes.size()) {
        errno = EMSGSIZE;
        fail("write " + f.path + " took " + std::to_string(n) + " bytes");
    }
}

void sleep_until(timespec &next, long period_ns)
{
    next.tv_nsec += period_ns;
    next.tv_sec += next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
}

long period_of(const char *fps_text)
{
    long fps = std::strtol(fps_text, nullptr, 10);
    if (fps <= 0) {
        std::fprintf(stderr, "vm_feeder: FPS must be a positive number, got '%s'\n", fps_text);
        std::exit(2);
    }
    return 1000000000 / fps;
}

} // namespace

int main(int argc, char **argv)
{
    const char *hold = nullptr;
    if (argc > 2 && std::string(argv[1]) == "--hold") {
        hold = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: vm_feeder [--hold FILE] DEVICE FPS FRAME|@FPS...\n");
        return 2;
    }
    long period = period_of(argv[2]);
    std::map<std::string, std::vector<unsigned char>> files; // each read once, however often sent
    std::vector<Frame> frames;
    for (int i = 3; i < argc; ++i) {
        if (argv[i][0] == '@') {
            period = period_of(argv[i] + 1);
            continue;
        }
        auto file = files.find(argv[i]);
        if (file == files.end()) {
            file = files.emplace(argv[i], std::vector<unsigned char>()).first;
            if (!read_file(argv[i], file->second))
                fail(std::string("open ") + argv[i]);
        }
        frames.push_back({argv[i], file->second, period});
    }

    unsigned width = 0, height = 0;
    for (const Frame &f : frames)
        if (jpeg_size(f.bytes, width, height))
            break;
    if (width == 0) {
        std::fprintf(stderr, "vm_feeder: none of the frames is a JPEG\n");
        return 2;
    }

    int fd = open(argv[1], O_RDWR);
    if (fd < 0)
        fail(std::string("open ") + argv[1]);
    set_format(fd, width, height);

    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (; hold && access(hold, F_OK) != 0; sleep_until(next, frames[0].period_ns)) {
        write_frame(fd, frames[0]);
        std::printf("held %s\n", frames[0].path.c_str());
        std::fflush(stdout);
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        write_frame(fd, frames[i]);
        std::printf("frame %zu %s\n", i, frames[i].path.c_str());
        std::fflush(stdout);
        sleep_until(next, frames[i].period_ns);
    }
    std::printf("done %zu\n", frames.size());
    close(fd);
    return 0;
}
