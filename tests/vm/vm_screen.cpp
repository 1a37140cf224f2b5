// Screen helpers for the VM tests.
//
//   vm_screen pattern WIDTH HEIGHT SEED > image.ppm
//       a test picture whose three channels all vary, different per seed
//   vm_screen info DEVICE
//       the framebuffer's geometry and colour layout, one "key=value" a line
//   vm_screen draw DEVICE SEED [flush] [stop]
//       writes the 800x480 test picture SEED through a shared mapping of a
//       32-bit framebuffer, in its colour layout, and exits without msync or
//       fsync unless told "flush". "stop" then restarts the machine at once
//       through /proc/sysrq-trigger: no device is shut down, so the display
//       keeps what it shows (the test VM pauses there)
//   vm_screen compare SCREEN RED_OFFSET BLUE_OFFSET IMAGE.pnm [image|screen] [WxH[x16]]
//       compares a screen of W x H pixels (default 800x480) with a binary
//       PPM/PGM; "image" checks only the picture's area, "screen" also wants
//       black around it. SCREEN is a 32-bit memory dump (W x 4-byte lines, the
//       fourth byte of each pixel not compared), with "x16" a 16-bit one of
//       5-6-5 pixels against the image's top bits, or a binary PPM of the
//       display, for which the offsets do not matter (with "x16", of its
//       top bits too). Exits 0 when they
//       match, 1 when they differ, 2 when a file cannot be read.
//   vm_screen pan DEVICE X Y
//       pans the framebuffer's display to (X, Y) of its memory
//   vm_screen mode DEVICE WxHxBITS
//       sets the framebuffer's mode, as fbset does, unpanned
//   vm_screen vt TTY
//       the VT's mode and the VT in front: "mode=text|graphics", "front=N"
//   vm_screen lit IMAGE.ppm
//       the number of pixels of the picture that are not black
//   vm_screen service TTY PROGRAM [ARG...]
//       runs PROGRAM as systemd runs a service with TTYPath=TTY and
//       StandardInput=tty: in a session of its own with TTY as its controlling
//       terminal and standard input, as user and group 65534, no capabilities
#include "screen_image.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <linux/vt.h>
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
                         "       vm_screen draw DEVICE SEED [flush] [stop]\n"
                         "       vm_screen compare SCREEN RED_OFFSET BLUE_OFFSET IMAGE.pnm "
                         "[image|screen] [WxH[x16]]\n"
                         "       vm_screen pan DEVICE X Y\n"
                         "       vm_screen mode DEVICE WxHxBITS\n"
                         "       vm_screen vt TTY\n"
                         "       vm_screen lit IMAGE.ppm\n"
                         "       vm_screen service TTY PROGRAM [ARG...]\n");
    std::exit(2);
}

std::vector<unsigned char> read_or_fail(const std::string &path)
{
    std::vector<unsigned char> bytes;
    if (!read_file(path, bytes))
        fail("open " + path);
    return bytes;
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
    std::printf("yres_virtual=%u\nxoffset=%u\nyoffset=%u\n", var.yres_virtual, var.xoffset,
                var.yoffset);
    return 0;
}

int open_screen(const char *device, fb_var_screeninfo &var)
{
    int fd = open(device, O_RDWR);
    fb_fix_screeninfo fix{};
    if (fd < 0)
        fail(std::string("open ") + device);
    query(fd, var, fix);
    return fd;
}

int pan(const char *device, unsigned x, unsigned y)
{
    fb_var_screeninfo var{};
    int fd = open_screen(device, var);
    var.xoffset = x;
    var.yoffset = y;
    if (ioctl(fd, FBIOPAN_DISPLAY, &var) < 0)
        fail("FBIOPAN_DISPLAY");
    return 0;
}

int set_mode(const char *device, const char *mode)
{
    fb_var_screeninfo var{};
    int fd = open_screen(device, var);
    unsigned width = 0, height = 0, bits = 0;
    if (std::sscanf(mode, "%ux%ux%u", &width, &height, &bits) != 3)
        usage();
    var.xres = var.xres_virtual = width;
    var.yres = var.yres_virtual = height;
    var.bits_per_pixel = bits;
    var.red = var.green = var.blue = var.transp = fb_bitfield{}; // the driver's own for the depth
    var.xoffset = var.yoffset = 0;
    var.activate = FB_ACTIVATE_NOW;
    if (ioctl(fd, FBIOPUT_VSCREENINFO, &var) < 0)
        fail("FBIOPUT_VSCREENINFO");
    return 0;
}

int vt_state(const char *tty)
{
    int fd = open(tty, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        fail(std::string("open ") + tty);
    int mode = -1;
    vt_stat state{};
    if (ioctl(fd, KDGETMODE, &mode) < 0 || ioctl(fd, VT_GETSTATE, &state) < 0)
        fail("KDGETMODE or VT_GETSTATE");
    std::printf("mode=%s\nfront=%u\n", mode == KD_TEXT ? "text" : "graphics", state.v_active);
    return 0;
}

int count_lit(const char *path)
{
    rgb_image image = read_pnm(path, read_or_fail(path));
    long lit = 0;
    for (size_t i = 0; i + 2 < image.rgb.size(); i += 3)
        lit += (image.rgb[i] | image.rgb[i + 1] | image.rgb[i + 2]) != 0;
    std::printf("%ld\n", lit);
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
                      int height, int bits)
{
    std::vector<unsigned char> b = read_or_fail(path);
    if (is_pnm(b))
        return read_pnm(path, b);
    rgb_image screen;
    size_t bytes = size_t(bits / 8), stride = size_t(width) * bytes;
    if (b.size() < stride * size_t(height))
        return screen;
    screen.width = width;
    screen.height = height;
    screen.rgb.resize(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char *p = &b[size_t(y) * stride + size_t(x) * bytes];
            unsigned char *out = &screen.rgb[(size_t(y) * width + x) * 3];
            unsigned v = p[0] | p[1] << 8; // a 5-6-5 pixel: each colour's top bits
            out[0] = bits == 16 ? (v >> red_offset & 0x1F) << 3 : p[red_offset / 8];
            out[1] = bits == 16 ? (v >> 5 & 0x3F) << 2 : p[1];
            out[2] = bits == 16 ? (v >> blue_offset & 0x1F) << 3 : p[blue_offset / 8];
        }
    return screen;
}

// The screen must show the image at (0, 0) over black, or, when not
// whole_screen, over whatever the screen shows outside the image.
int compare(const std::string &screen_path, int red_offset, int blue_offset,
            const std::string &image_path, bool whole_screen, int screen_width, int screen_height,
            int bits)
{
    rgb_image screen =
        read_screen(screen_path, red_offset, blue_offset, screen_width, screen_height, bits);
    if (screen.width != screen_width || screen.height != screen_height) {
        std::fprintf(stderr, "vm_screen: %s is not a %dx%d screen (%dx%d)\n", screen_path.c_str(),
                     screen_width, screen_height, screen.width, screen.height);
        return 2;
    }
    rgb_image image = read_pnm(image_path, read_or_fail(image_path));
    std::vector<unsigned char> expected =
        whole_screen ? std::vector<unsigned char>(screen.rgb.size(), 0) : screen.rgb;
    size_t line_bytes = size_t(screen_width) * 3;
    size_t visible_bytes = size_t(std::min(image.width, screen_width)) * 3; // of an image line
    for (int y = 0; y < std::min(image.height, screen_height); ++y)
        std::copy_n(image.rgb.begin() + long(size_t(y) * image.width * 3), visible_bytes,
                    expected.begin() + long(size_t(y) * line_bytes));
    // A display's picture of 5-6-5 pixels has the low bits filled in.
    if (bits == 16)
        for (size_t i = 0; i < expected.size(); i++) {
            unsigned char top = i % 3 == 1 ? 0xFC : 0xF8;
            expected[i] &= top;
            screen.rgb[i] &= top;
        }
    std::string differences = describe_differences(screen.rgb, expected, line_bytes);
    if (differences.empty())
        return 0;
    std::fprintf(stderr, "vm_screen: %s differs from %s: %s\n", screen_path.c_str(),
                 image_path.c_str(), differences.c_str());
    return 1;
}

int run_as_service(const char *tty, char **command)
{
    constexpr uid_t NOBODY = 65534;
    if (setsid() < 0)
        fail("setsid");
    int fd = open(tty, O_RDWR);
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) < 0 || dup2(fd, 0) < 0)
        fail(std::string("take ") + tty);
    close(fd);
    if (setgroups(0, nullptr) < 0 || setgid(NOBODY) < 0 || setuid(NOBODY) < 0)
        fail("drop to user 65534");
    execv(command[0], command);
    fail(std::string("run ") + command[0]);
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
    if (cmd == "draw" && argc >= 4 && argc <= 6)
        return draw(argv[2], std::atoi(argv[3]), has_word(argc, argv, 4, "flush"),
                    has_word(argc, argv, 4, "stop"));
    if (cmd == "compare" && argc >= 6 && argc <= 8) {
        std::string area = argc >= 7 ? argv[6] : "screen";
        int width = SCREEN_WIDTH, height = SCREEN_HEIGHT, bits = 32;
        if ((area != "image" && area != "screen") ||
            (argc == 8 && (std::sscanf(argv[7], "%dx%dx%d", &width, &height, &bits) < 2 ||
                           width < 1 || height < 1 || (bits != 16 && bits != 32))))
            usage();
        return compare(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5], area == "screen",
                       width, height, bits);
    }
    if (cmd == "pan" && argc == 5)
        return pan(argv[2], unsigned(std::atoi(argv[3])), unsigned(std::atoi(argv[4])));
    if (cmd == "mode" && argc == 4)
        return set_mode(argv[2], argv[3]);
    if (cmd == "vt" && argc == 3)
        return vt_state(argv[2]);
    if (cmd == "lit" && argc == 3)
        return count_lit(argv[2]);
    if (cmd == "service" && argc >= 4)
        return run_as_service(argv[2], argv + 3);
    usage();
}
