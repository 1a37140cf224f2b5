// camera-lcd-bench: what the live view's decode and draw cost per frame on
// this machine. show_video_data draws JPEG frames (files, or camera-like
// 640 x 480 4:2:2 frames made here) onto /dev/fb0, or into memory laid out as
// an 800 x 480 screen of the pixel formats asked for, in rounds interleaved
// with libjpeg decoding the same frames to RGB with nothing drawn. With
// --latency it shows frames from the camera instead, and times each from its
// capture to the screen.
#include "api_v4l2.h"
#include "bench_support.h"
#include "lcd.h"
#include "live_latency.h"
#include "synth_jpeg.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <linux/fb.h>
#include <string>
#include <sys/mman.h>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr int MADE_FRAMES = 16;
constexpr int COPIED_WIDTH = 640, COPIED_HEIGHT = 480;
constexpr int NOISE_FOR_90_KB = 22;
constexpr int DEFAULT_ROUNDS = 15;
// A check of the screen is a few system calls: timed in bulk.
constexpr int CHECKS_TIMED = 100;
constexpr int MAX_ROUNDS = 100000;
constexpr int DEFAULT_LATENCY_FRAMES = 300;
// The decode-only line starts off 32-byte alignment, as show_video_data's lines
// do: libjpeg-turbo writes aligned lines with non-temporal stores, which would
// make the decode alone slower than it is for a program that reads its lines.
constexpr int LINE_OFFSET = 4;
constexpr const char USAGE[] =
    "Usage: camera-lcd-bench [--fb | --layout NAME ...] [--rounds N] [frame.jpg ...]\n"
    "       camera-lcd-bench --latency [--frames N] [--device PATH] [--fb | --layout NAME]\n"
    "layouts: bgrx rgbx xrgb xbgr bgr rgb (bytes in memory, first to last), rgb565 bgr565\n";

// Pixel formats of screens to draw into memory as.
struct bench_layout {
    const char *name;
    uint32_t bits_per_pixel;
    fb_bitfield red, green, blue;
};

constexpr bench_layout LAYOUTS[] = {
    {"bgrx", 32, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}}, // the panel's own
    {"rgbx", 32, {0, 8, 0}, {8, 8, 0}, {16, 8, 0}},
    {"xrgb", 32, {8, 8, 0}, {16, 8, 0}, {24, 8, 0}},
    {"xbgr", 32, {24, 8, 0}, {16, 8, 0}, {8, 8, 0}},
    {"bgr", 24, {16, 8, 0}, {8, 8, 0}, {0, 8, 0}},
    {"rgb", 24, {0, 8, 0}, {8, 8, 0}, {16, 8, 0}},
    {"rgb565", 16, {11, 5, 0}, {5, 6, 0}, {0, 5, 0}},
    {"bgr565", 16, {0, 5, 0}, {5, 6, 0}, {11, 5, 0}},
};

using frame_list = std::vector<std::vector<unsigned char>>;

struct bench_options {
    bool on_screen = false; // draw onto /dev/fb0, not into memory
    std::vector<const bench_layout *> layouts;
    int rounds = DEFAULT_ROUNDS;
    std::vector<std::string> files;
    bool latency = false; // frames from the camera, timed from capture to screen
    int latency_frames = DEFAULT_LATENCY_FRAMES;
    const char *device = CAMERA_DEVICE;
};

alignas(64) unsigned char rgb_line[LINE_OFFSET + JPEG_MAX_DIMENSION * 3];

bool refuse_arguments()
{
    std::fputs(USAGE, stderr);
    return false;
}

const bench_layout *find_layout(const std::string &name)
{
    for (const bench_layout &layout : LAYOUTS)
        if (name == layout.name)
            return &layout;
    return nullptr;
}

// A count of rounds or frames: 1 to MAX_ROUNDS.
bool parse_count(const char *text, int *count)
{
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end || value < 1 || value > MAX_ROUNDS)
        return false;
    *count = int(value);
    return true;
}

// False, after the usage line, for arguments it does not understand.
bool parse_options(int argc, char **argv, bench_options &options)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--fb") {
            options.on_screen = true;
        } else if (arg == "--layout" && i + 1 < argc) {
            const bench_layout *layout = find_layout(argv[++i]);
            if (!layout)
                return refuse_arguments();
            options.layouts.push_back(layout);
        } else if ((arg == "--rounds" || arg == "--frames") && i + 1 < argc) {
            int &count = arg == "--rounds" ? options.rounds : options.latency_frames;
            if (!parse_count(argv[++i], &count))
                return refuse_arguments();
        } else if (arg == "--latency") {
            options.latency = true;
        } else if (arg == "--device" && i + 1 < argc) {
            options.device = argv[++i];
        } else if (arg.empty() || arg[0] == '-') {
            return refuse_arguments();
        } else {
            options.files.push_back(arg);
        }
    }
    if (options.on_screen && !options.layouts.empty())
        return refuse_arguments();
    if (options.latency && (options.layouts.size() > 1 || !options.files.empty()))
        return refuse_arguments();
    if (options.layouts.empty())
        options.layouts.push_back(&LAYOUTS[0]);
    return true;
}

// The frames to draw: the files' contents, or frames made here; empty after a
// message when a file cannot be read.
frame_list load_frames(const std::vector<std::string> &files)
{
    frame_list frames;
    for (const std::string &path : files) {
        std::ifstream in(path, std::ios::binary);
        std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        if (!in || bytes.empty()) {
            std::fprintf(stderr, "camera-lcd-bench: cannot read %s\n", path.c_str());
            return {};
        }
        frames.push_back(std::move(bytes));
    }
    synth_options opt;
    opt.noise = NOISE_FOR_90_KB;
    for (opt.frame = 0; files.empty() && opt.frame < MADE_FRAMES; opt.frame++)
        frames.push_back(synth_jpeg(opt));
    return frames;
}

// Points the LCD module at memory laid out as an 800 x 480 screen of the layout.
bool set_up_memory_screen(const bench_layout &layout)
{
    fb_var_screeninfo var = {};
    fb_fix_screeninfo fix = {};
    var.xres = LCD_WIDTH, var.yres = LCD_HEIGHT, var.bits_per_pixel = layout.bits_per_pixel;
    var.red = layout.red, var.green = layout.green, var.blue = layout.blue;
    fix.visual = FB_VISUAL_TRUECOLOR;
    fix.line_length = LCD_WIDTH * layout.bits_per_pixel / 8;
    fix.smem_len = fix.line_length * LCD_HEIGHT;
    lcd_screen screen;
    if (lcd_describe_fb(var, fix, &screen) < 0)
        return false;
    if (mmap_fd)
        munmap(mmap_fd, g_screen.memory_bytes);
    void *memory =
        mmap(nullptr, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        std::perror("camera-lcd-bench: mmap");
        return false;
    }
    std::memset(memory, 0, fix.smem_len); // its pages exist before the first round
    g_screen = screen;
    mmap_fd = static_cast<uint32_t *>(memory);
    return true;
}

// libjpeg decoding a frame to RGB lines, one per call, with nothing drawn;
// frames show_video_data would not draw are not decoded either. The passes
// stay out of line so that instruction counts (callgrind) name each one.
[[gnu::noinline]] void decode_only(const std::vector<unsigned char> &jpeg)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space == JCS_GRAYSCALE)
        cinfo.out_color_space = JCS_RGB;
    if (cinfo.out_color_space == JCS_RGB) {
        jpeg_start_decompress(&cinfo);
        JSAMPROW line = rgb_line + LINE_OFFSET;
        while (cinfo.output_scanline < cinfo.output_height)
            jpeg_read_scanlines(&cinfo, &line, 1);
        jpeg_finish_decompress(&cinfo);
    }
    jpeg_destroy_decompress(&cinfo);
}

[[gnu::noinline]] void draw(const std::vector<unsigned char> &jpeg)
{
    show_video_data(0, 0, jpeg.data(), int(jpeg.size()));
}

// Copies a decoded line's worth of pixels into each line of a 640 x 480 area
// of the screen, decoding nothing: the least that drawing such a frame can
// cost, whatever stores it.
void copy_pixels_only(const std::vector<unsigned char> &)
{
    std::size_t bytes = std::size_t(COPIED_WIDTH) * unsigned(g_screen.format.bytes_per_pixel);
    for (int y = 0; y < COPIED_HEIGHT && y < g_screen.height; y++)
        std::memcpy(lcd_line_start(y), rgb_line + LINE_OFFSET,
                    std::min(bytes, g_screen.line_bytes));
}

// The check camera_lcd makes before each frame: is the screen still the one
// mapped? (Nothing to ask of a screen in memory.)
void check_screen_only(const std::vector<unsigned char> &)
{
    for (int i = 0; i < CHECKS_TIMED; i++)
        lcd_follow_screen();
}

// Microseconds of this thread's CPU time per frame over one pass through all frames.
double time_pass(const frame_list &frames, void (*step)(const std::vector<unsigned char> &))
{
    timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (const auto &jpeg : frames)
        step(jpeg);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    double spent =
        double(end.tv_sec - start.tv_sec) * 1e6 + double(end.tv_nsec - start.tv_nsec) / 1e3;
    return spent / double(frames.size());
}

// Heap allocations and releases counted so far.
struct heap_counts {
    long allocations;
    long releases;
};

// The counting functions of libcount_allocations.so, null where it is not
// preloaded. Looked up once: a lookup may allocate.
struct heap_counters {
    unsigned long (*allocations)();
    unsigned long (*releases)();
};

heap_counters find_heap_counters()
{
    using counter = unsigned long (*)();
    return {reinterpret_cast<counter>(dlsym(RTLD_DEFAULT, "allocation_count")),
            reinterpret_cast<counter>(dlsym(RTLD_DEFAULT, "release_count"))};
}

heap_counts count_heap(const heap_counters &counters)
{
    if (!counters.allocations || !counters.releases)
        return {0, 0};
    return {long(counters.allocations()), long(counters.releases())};
}

// Decodes and draws in interleaved rounds, so that all see the same machine,
// and prints the figures.
void measure(const frame_list &frames, int rounds)
{
    std::vector<double> decode_times, draw_times, copy_times, check_times;
    heap_counters counters = find_heap_counters();
    heap_counts drawing = {0, 0};
    for (int round = 0; round < rounds; round++) {
        decode_times.push_back(time_pass(frames, decode_only));
        heap_counts before = count_heap(counters);
        double draw_time = time_pass(frames, draw);
        heap_counts after = count_heap(counters);
        draw_times.push_back(draw_time);
        drawing.allocations += after.allocations - before.allocations;
        drawing.releases += after.releases - before.releases;
        copy_times.push_back(time_pass(frames, copy_pixels_only));
        check_times.push_back(time_pass(frames, check_screen_only) / CHECKS_TIMED);
    }
    double decode = median(decode_times), draw = median(draw_times);
    std::printf("libjpeg decode to RGB, nothing drawn: %8.1f us per frame (CPU time)\n", decode);
    std::printf("show_video_data, decoded and drawn:   %8.1f us per frame: at most %.1f frames "
                "per second\n",
                draw, 1e6 / draw);
    std::printf("ratio draw / decode: %.3f\n", draw / decode);
    std::printf("640x480 pixels copied into the screen, nothing decoded: %.1f us per frame\n",
                median(copy_times));
    if (lcd_fd >= 0)
        std::printf(
            "screen check before each frame: %.2f us, %.3f %% of a frame decoded and drawn\n",
            median(check_times), 100 * median(check_times) / draw);
    if (counters.allocations) {
        std::size_t drawn = frames.size() * std::size_t(rounds);
        std::printf("while drawing %zu frames: %ld allocations (%.2f per frame), %ld released\n",
                    drawn, drawing.allocations, double(drawing.allocations) / double(drawn),
                    drawing.releases);
    }
}

void print_screen(const char *layout)
{
    const pixel_format &f = g_screen.format;
    std::printf("screen %s: %dx%d, %d bits per pixel, red %u/%u, green %u/%u, blue %u/%u\n", layout,
                g_screen.width, g_screen.height, 8 * f.bytes_per_pixel, f.red.offset, f.red.length,
                f.green.offset, f.green.length, f.blue.offset, f.blue.length);
}

// The live view on the screen, or in memory of the layout, fed by the camera.
int run_latency(const bench_options &options)
{
    bool ready = options.on_screen ? lcd_open() >= 0 && mmap_lcd() >= 0
                                   : set_up_memory_screen(*options.layouts[0]);
    if (!ready)
        return 1;
    print_screen(options.on_screen ? FB_DEVICE : options.layouts[0]->name);
    return measure_latency(options.device, options.latency_frames);
}

} // namespace

int main(int argc, char **argv)
{
    bench_options options;
    if (!parse_options(argc, argv, options))
        return 1;
    if (options.latency)
        return run_latency(options);
    frame_list frames = load_frames(options.files);
    if (frames.empty())
        return 1;
    std::size_t bytes = 0;
    for (const auto &jpeg : frames)
        bytes += jpeg.size();
    std::printf("frames: %zu %s, %zu bytes on average; %d rounds, drawn into %s\n", frames.size(),
                options.files.empty() ? "of 640x480 4:2:2 made here" : "from files",
                bytes / frames.size(), options.rounds, options.on_screen ? FB_DEVICE : "memory");
    if (options.on_screen) {
        if (lcd_open() < 0 || mmap_lcd() < 0)
            return 1;
        print_screen(FB_DEVICE);
        measure(frames, options.rounds);
        return 0;
    }
    for (const bench_layout *layout : options.layouts) {
        if (!set_up_memory_screen(*layout))
            return 1;
        print_screen(layout->name);
        measure(frames, options.rounds);
    }
    return 0;
}
