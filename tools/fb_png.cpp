// fb_png: saves what a framebuffer shows as an 8-bit RGB PNG, reading each
// colour where the driver's bitfields say it lives.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include <png.h>

namespace {

struct screen {
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    const unsigned char *memory;
    std::size_t length;
};

int fail(const char *what, const char *path)
{
    std::fprintf(stderr, "fb_png: Unable to %s %s: %s (%d)\n", what, path, std::strerror(errno),
                 errno);
    return -1;
}

int map_screen(const char *device, screen *s)
{
    int fd = open(device, O_RDONLY);
    if (fd < 0)
        return fail("open", device);
    if (ioctl(fd, FBIOGET_VSCREENINFO, &s->var) < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &s->fix) < 0)
        return fail("query", device);
    uint32_t bpp = s->var.bits_per_pixel;
    if (bpp % 8 != 0 || bpp == 0 || bpp > 32 || s->fix.visual != FB_VISUAL_TRUECOLOR ||
        std::size_t(s->var.xres) * (bpp / 8) > s->fix.line_length) {
        std::fprintf(stderr,
                     "fb_png: %s: %u bits per pixel (visual %u) is not a true-colour layout\n",
                     device, bpp, s->fix.visual);
        return -1;
    }
    s->length = std::size_t(s->fix.line_length) * s->var.yres;
    if (s->length > s->fix.smem_len) {
        std::fprintf(stderr, "fb_png: %s: %zu bytes of lines exceed its %u bytes of memory\n",
                     device, s->length, s->fix.smem_len);
        return -1;
    }
    void *memory = mmap(nullptr, s->length, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED)
        return fail("map", device);
    s->memory = static_cast<const unsigned char *>(memory);
    return 0;
}

unsigned char channel(uint32_t pixel, const fb_bitfield &field)
{
    if (field.length == 0)
        return 0;
    uint32_t max = field.length >= 32 ? 0xFFFFFFFFu : (1u << field.length) - 1;
    uint32_t value = (pixel >> field.offset) & max;
    return static_cast<unsigned char>((uint64_t(value) * 255 + max / 2) / max);
}

std::vector<unsigned char> to_rgb(const screen &s)
{
    uint32_t bytes = s.var.bits_per_pixel / 8;
    std::vector<unsigned char> rgb(std::size_t(s.var.xres) * s.var.yres * 3);
    unsigned char *out = rgb.data();
    for (uint32_t y = 0; y < s.var.yres; y++) {
        const unsigned char *in = s.memory + std::size_t(y) * s.fix.line_length;
        for (uint32_t x = 0; x < s.var.xres; x++, in += bytes) {
            uint32_t pixel = 0;
            for (uint32_t b = 0; b < bytes; b++) // little-endian pixel
                pixel |= uint32_t(in[b]) << (8 * b);
            *out++ = channel(pixel, s.var.red);
            *out++ = channel(pixel, s.var.green);
            *out++ = channel(pixel, s.var.blue);
        }
    }
    return rgb;
}

int write_png(const char *path, const std::vector<unsigned char> &rgb, uint32_t width,
              uint32_t height)
{
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path, 0, rgb.data(), 0, nullptr)) {
        std::fprintf(stderr, "fb_png: Unable to write %s: %s\n", path, image.message);
        return -1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::printf("Usage: %s <png file> [<framebuffer device>]\n", argc > 0 ? argv[0] : "fb_png");
        return 1;
    }
    const char *device = argc == 3 ? argv[2] : "/dev/fb0";
    screen s = {};
    if (map_screen(device, &s) < 0)
        return 1;
    return write_png(argv[1], to_rgb(s), s.var.xres, s.var.yres) < 0 ? 1 : 0;
}
