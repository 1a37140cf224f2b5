// Screen helpers for the VM tests.
//
//   vm_screen pattern WIDTH HEIGHT SEED > image.ppm
//       a test picture whose three channels all vary, different per seed
//   vm_screen info DEVICE
//       the framebuffer's geometry and colour layout, one "key=value" a line
//   vm_screen console-mode TTY
//       "text" or "graphics": the mode of a virtual console (KDGETMODE)
//   vm_screen draw DEVICE SEED [flush] [stop]
//       writes the 800x480 test picture SEED through a shared mapping of a
//       32-bit framebuffer, in its colour layout, and exits without msync or
//       fsync unless told "flush". "stop" then restarts the machine at once
//       through /proc/sysrq-trigger: no device is shut down, so the display
//       keeps what it shows (the test VM pauses there)
//   vm_screen compare SCREEN RED_OFFSET BLUE_OFFSET IMAGE.pnm [image|screen] [WxH]
//       compares a screen of W x H pixels (default 800x480) with a binary
//       PPM/PGM; "image" checks only the picture's area, "screen" also wants
//       black around it. SCREEN is a 32-bit memory dump (W x 4-byte lines, the
//       fourth byte of each pixel not compared) or a binary PPM of the
//       display, for which the offsets do not matter. Exits 0 when they
//       match, 1 when they differ, 2 when a file cannot be read.
#include "screen_image.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int SCREEN_WIDTH = 800;
constexpr int SCREEN_HEIGHT = 480;
constexpr int SCREEN_STRIDE = 3200;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "vm_screen: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: vm_screen pattern WIDTH HEIGHT SEED\n"
                         "       vm_screen info DEVICE\n"
                         "       vm_screen console-mode TTY\n"
                         "       vm_screen draw DEVICE SEED [flush] [stop]\n"
                         "       vm_screen compare SCREEN RED_OFFSET BLUE_OFFSET IMAGE.pnm "
                         "[image|screen] [WxH]\n");
    std::exit(2);
}

std::vector<unsigned char> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool is_pnm(const std::vector<unsigned char> &b)
{
    return b.size() > 2 && b[0] == 'P' && (b[1] == '5' || b[1] == '6');
}

rgb_image read_pnm(const std::string &path, const std::vector<unsigned char> &b)
{
    rgb_image image;
    std::string why_not = parse_pnm(b, image);
    if (!why_not.empty()) {
        errno = EINVAL;
        fail("read " + path + " (" + why_not + ")");
    }
    return image;
}

void pattern_pixel(int x, int y, int width, int height, int seed, unsigned char px[3])
{
    bool tile = ((x / 32) + (y / 32) + seed) % 2;
    px[0] = static_cast<unsigned char>(x * 255 / width);
    px[1] = static_cast<unsigned char>((y * 255 / height + seed * 67) % 256);
    px[2] = static_cast<unsigned char>(tile ? 40 + seed * 23 % 160 : 230 - seed * 17 % 100);
}

int pattern(int width, int height, int seed)
{
    std::printf("P6\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char px[3];
            pattern_pixel(x, y, width, height, seed, px);
            std::fwrite(px, 1, 3, stdout);
        }
    return 0;
}

void query(int fd, fb_var_screeninfo &var, fb_fix_screeninfo &fix)
{
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0)
        fail("FBIOGET_VSCREENINFO");
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0)
        fail("FBIOGET_FSCREENINFO");
}

int info(const char *device)
{
    int fd = open(device, O_RDONLY);
    if (fd < 0)
        fail(std::string("open ") + device);
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    query(fd, var, fix);
    close(fd);
    std::printf("xres=%u\nyres=%u\nbits_per_pixel=%u\nline_length=%u\nsmem_len=%u\n", var.xres,
                var.yres, var.bits_per_pixel, fix.line_length, fix.smem_len);
    std::printf("red=%u/%u\ngreen=%u/%u\nblue=%u/%u\n", var.red.offset, var.red.length,
                var.green.offset, var.green.length, var.blue.offset, var.blue.length);
    return 0;
}

int console_mode(const char *tty)
{
    int fd = open(tty, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        fail(std::string("open ") + tty);
    int mode = 0;
    if (ioctl(fd, KDGETMODE, &mode) < 0)
        fail(std::string("KDGETMODE on ") + tty);
    close(fd);
    std::puts(mode == KD_GRAPHICS ? "graphics" : "text");
    return 0;
}

// The picture is laid out in memory first, so the mapping is written in one
// pass: the kernel's deferred I/O starts its delay at the first written page.
int draw(const char *device, int seed, bool flush, bool stop)
{
    int fd = open(device, O_RDWR);
    if (fd < 0)
        fail(std::string("open ") + device);
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    query(fd, var, fix);
    size_t length = size_t(SCREEN_STRIDE) * SCREEN_HEIGHT;
    if (var.bits_per_pixel != 32 || fix.line_length != SCREEN_STRIDE || fix.smem_len < length) {
        errno = EINVAL;
        fail(std::string(device) + " is not an 800x480x32 screen");
    }
    std::vector<uint32_t> picture(length / 4);
    for (int y = 0; y < SCREEN_HEIGHT; ++y)
        for (int x = 0; x < SCREEN_WIDTH; ++x) {
            unsigned char px[3];
            pattern_pixel(x, y, SCREEN_WIDTH, SCREEN_HEIGHT, seed, px);
            picture[size_t(y) * SCREEN_WIDTH + x] = uint32_t(px[0]) << var.red.offset |
                                                    uint32_t(px[1]) << var.green.offset |
                                                    uint32_t(px[2]) << var.blue.offset;
        }
    int trigger = stop ? open("/proc/sysrq-trigger", O_WRONLY) : -1;
    if (stop && trigger < 0)
        fail("open /proc/sysrq-trigger");
    void *screen = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (screen == MAP_FAILED)
        fail("mmap");
    auto start = std::chrono::steady_clock::now();
    std::memcpy(screen, picture.data(), length);
    if (flush && (msync(screen, length, MS_SYNC) < 0 || fsync(fd) < 0))
        fail("msync or fsync");
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
    std::fprintf(stderr, "vm_screen: drew picture %d in %.1f ms%s\n", seed, took.count(),
                 flush ? ", flushed" : ", not flushed");
    if (stop) {
        std::fflush(stderr);
        if (write(trigger, "b", 1) != 1)
            fail("write /proc/sysrq-trigger");
    }
    return 0;
}

// The screen as red, green, blue bytes, from a memory dump or a display PPM.
rgb_image read_screen(const std::string &path, int red_offset, int blue_offset, int width,
                      int height)
{
    std::vector<unsigned char> b = read_file(path);
    if (is_pnm(b))
        return read_pnm(path, b);
    rgb_image screen;
    size_t stride = size_t(width) * 4;
    if (b.size() < stride * size_t(height))
        return screen;
    screen.width = width;
    screen.height = height;
    screen.rgb.resize(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char *p = &b[size_t(y) * stride + size_t(x) * 4];
            unsigned char *out = &screen.rgb[(size_t(y) * width + x) * 3];
            out[0] = p[red_offset / 8];
            out[1] = p[1];
            out[2] = p[blue_offset / 8];
        }
    return screen;
}

// The screen must show the image at (0, 0) over black, or, when not
// whole_screen, over whatever the screen shows outside the image.
int compare(const std::string &screen_path, int red_offset, int blue_offset,
            const std::string &image_path, bool whole_screen, int screen_width, int screen_height)
{
    rgb_image screen =
        read_screen(screen_path, red_offset, blue_offset, screen_width, screen_height);
    if (screen.width != screen_width || screen.height != screen_height) {
        std::fprintf(stderr, "vm_screen: %s is not a %dx%d screen (%dx%d)\n", screen_path.c_str(),
                     screen_width, screen_height, screen.width, screen.height);
        return 2;
    }
    rgb_image image = read_pnm(image_path, read_file(image_path));
    std::vector<unsigned char> expected =
        whole_screen ? std::vector<unsigned char>(screen.rgb.size(), 0) : screen.rgb;
    size_t line_bytes = size_t(screen_width) * 3;
    size_t visible_bytes = size_t(std::min(image.width, screen_width)) * 3; // of an image line
    for (int y = 0; y < std::min(image.height, screen_height); ++y)
        std::copy_n(image.rgb.begin() + long(size_t(y) * image.width * 3), visible_bytes,
                    expected.begin() + long(size_t(y) * line_bytes));
    std::string differences = describe_differences(screen.rgb, expected, line_bytes);
    if (differences.empty())
        return 0;
    std::fprintf(stderr, "vm_screen: %s differs from %s: %s\n", screen_path.c_str(),
                 image_path.c_str(), differences.c_str());
    return 1;
}

bool has_word(int argc, char **argv, int from, const char *word)
{
    for (int i = from; i < argc; ++i)
        if (std::strcmp(argv[i], word) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "pattern" && argc == 5)
        return pattern(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    if (cmd == "info" && argc == 3)
        return info(argv[2]);
    if (cmd == "console-mode" && argc == 3)
        return console_mode(argv[2]);
    if (cmd == "draw" && argc >= 4 && argc <= 6)
        return draw(argv[2], std::atoi(argv[3]), has_word(argc, argv, 4, "flush"),
                    has_word(argc, argv, 4, "stop"));
    if (cmd == "compare" && argc >= 6 && argc <= 8) {
        std::string area = argc >= 7 ? argv[6] : "screen";
        int width = SCREEN_WIDTH, height = SCREEN_HEIGHT;
        if ((area != "image" && area != "screen") ||
            (argc == 8 &&
             (std::sscanf(argv[7], "%dx%d", &width, &height) != 2 || width < 1 || height < 1)))
            usage();
        return compare(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5], area == "screen",
                       width, height);
    }
    usage();
}
