// Screen helpers for the VM tests.
//
//   vm_screen pattern WIDTH HEIGHT SEED > image.ppm
//       a test picture whose three channels all vary, different per seed
//   vm_screen info DEVICE
//       the framebuffer's geometry and colour layout, one "key=value" a line
//   vm_screen compare SCREEN.raw RED_OFFSET BLUE_OFFSET IMAGE.pnm [image|screen]
//       compares an 800x480x32 screen dump (3200-byte lines) with a binary
//       PPM/PGM; "image" checks only the picture's area, "screen" also wants
//       black around it. The fourth byte of each pixel is not compared.
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
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

struct Image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb; // 3 bytes a pixel
};

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "vm_screen: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: vm_screen pattern WIDTH HEIGHT SEED\n"
                         "       vm_screen info DEVICE\n"
                         "       vm_screen compare SCREEN.raw RED_OFFSET BLUE_OFFSET IMAGE.pnm "
                         "[image|screen]\n");
    std::exit(2);
}

std::vector<unsigned char> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Binary PPM (P6) or PGM (P5) with maxval 255, as djpeg writes them.
Image read_pnm(const std::string &path)
{
    std::vector<unsigned char> b = read_file(path);
    std::string head(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
    char kind = 0;
    int maxval = 0, used = 0;
    Image img;
    if (std::sscanf(head.c_str(), "P%c %d %d %d%n", &kind, &img.width, &img.height, &maxval,
                    &used) != 4 ||
        (kind != '5' && kind != '6') || maxval != 255) {
        errno = EINVAL;
        fail("read " + path + " (not a binary 8-bit PPM or PGM)");
    }
    size_t channels = kind == '6' ? 3 : 1;
    size_t start = used + 1;
    size_t pixels = size_t(img.width) * img.height;
    if (b.size() < start + pixels * channels) {
        errno = EINVAL;
        fail("read " + path + " (short pixel data)");
    }
    img.rgb.resize(pixels * 3);
    for (size_t i = 0; i < pixels; ++i)
        for (size_t c = 0; c < 3; ++c)
            img.rgb[i * 3 + c] = b[start + i * channels + (channels == 3 ? c : 0)];
    return img;
}

int pattern(int width, int height, int seed)
{
    std::printf("P6\n%d %d\n255\n", width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            bool tile = ((x / 32) + (y / 32) + seed) % 2;
            unsigned char px[3] = {
                static_cast<unsigned char>(x * 255 / width),
                static_cast<unsigned char>((y * 255 / height + seed * 67) % 256),
                static_cast<unsigned char>(tile ? 40 + seed * 23 % 160 : 230 - seed * 17 % 100)};
            std::fwrite(px, 1, 3, stdout);
        }
    return 0;
}

int info(const char *device)
{
    int fd = open(device, O_RDONLY);
    if (fd < 0)
        fail(std::string("open ") + device);
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0)
        fail("FBIOGET_VSCREENINFO");
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0)
        fail("FBIOGET_FSCREENINFO");
    close(fd);
    std::printf("xres=%u\nyres=%u\nbits_per_pixel=%u\nline_length=%u\nsmem_len=%u\n", var.xres,
                var.yres, var.bits_per_pixel, fix.line_length, fix.smem_len);
    std::printf("red=%u/%u\ngreen=%u/%u\nblue=%u/%u\n", var.red.offset, var.red.length,
                var.green.offset, var.green.length, var.blue.offset, var.blue.length);
    return 0;
}

// The three bytes (red, green, blue) the screen holds at (x, y).
void screen_rgb(const std::vector<unsigned char> &screen, int x, int y, int red_offset,
                int blue_offset, unsigned char out[3])
{
    const unsigned char *p = &screen[size_t(y) * SCREEN_STRIDE + size_t(x) * 4];
    out[0] = p[red_offset / 8];
    out[1] = p[1];
    out[2] = p[blue_offset / 8];
}

int compare(const std::string &screen_path, int red_offset, int blue_offset,
            const std::string &image_path, bool whole_screen)
{
    std::vector<unsigned char> screen = read_file(screen_path);
    if (screen.size() < size_t(SCREEN_STRIDE) * SCREEN_HEIGHT) {
        std::fprintf(stderr, "vm_screen: %s holds %zu bytes, fewer than one 800x480x32 screen\n",
                     screen_path.c_str(), screen.size());
        return 1;
    }
    Image img = read_pnm(image_path);
    int width = whole_screen ? SCREEN_WIDTH : std::min(img.width, SCREEN_WIDTH);
    int height = whole_screen ? SCREEN_HEIGHT : std::min(img.height, SCREEN_HEIGHT);
    long wrong = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char want[3] = {0, 0, 0}, got[3];
            if (x < img.width && y < img.height)
                std::memcpy(want, &img.rgb[(size_t(y) * img.width + x) * 3], 3);
            screen_rgb(screen, x, y, red_offset, blue_offset, got);
            if (std::memcmp(want, got, 3) == 0)
                continue;
            if (wrong++ == 0)
                std::fprintf(
                    stderr,
                    "vm_screen: first difference at (%d,%d): want rgb %d,%d,%d, screen has "
                    "%d,%d,%d\n",
                    x, y, want[0], want[1], want[2], got[0], got[1], got[2]);
        }
    if (wrong) {
        std::fprintf(stderr, "vm_screen: %ld of %d pixels differ from %s\n", wrong, width * height,
                     image_path.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "pattern" && argc == 5)
        return pattern(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    if (cmd == "info" && argc == 3)
        return info(argv[2]);
    if (cmd == "compare" && (argc == 6 || argc == 7)) {
        std::string area = argc == 7 ? argv[6] : "screen";
        if (area != "image" && area != "screen")
            usage();
        return compare(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5], area == "screen");
    }
    usage();
}
