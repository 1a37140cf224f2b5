// Per-frame time of show_video_data drawing camera-like 640 x 480 4:2:2 frames
// into a screen buffer, next to libjpeg-turbo decoding the same frames to RGB
// with nothing drawn, measured in the same run.
#include "lcd.h"
#include "synth_jpeg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr int FRAMES = 16;
constexpr int ROUNDS = 15;
constexpr int NOISE_FOR_90_KB = 22;

using frames_t = std::vector<std::vector<unsigned char>>;
using clock_type = std::chrono::steady_clock;

void decode_only(const std::vector<unsigned char> &jpeg, unsigned char *line)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height)
        jpeg_read_scanlines(&cinfo, &line, 1);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

// Microseconds per frame over one pass through all frames.
template <typename Step> double time_pass(const frames_t &frames, Step step)
{
    auto start = clock_type::now();
    for (const auto &jpeg : frames)
        step(jpeg);
    std::chrono::duration<double, std::micro> spent = clock_type::now() - start;
    return spent.count() / double(frames.size());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    frames_t frames;
    std::size_t bytes = 0;
    synth_options opt;
    opt.noise = NOISE_FOR_90_KB;
    for (opt.frame = 0; opt.frame < FRAMES; opt.frame++) {
        frames.push_back(synth_jpeg(opt));
        bytes += frames.back().size();
    }
    std::vector<uint32_t> screen(LCD_BYTES / 4);
    mmap_fd = screen.data();
    std::vector<unsigned char> line(640 * 3);

    std::vector<double> decode_times, draw_times;
    for (int round = 0; round < ROUNDS; round++) { // interleaved, so both see the same machine
        decode_times.push_back(
            time_pass(frames, [&](const auto &jpeg) { decode_only(jpeg, line.data()); }));
        draw_times.push_back(time_pass(frames, [](const auto &jpeg) {
            show_video_data(0, 0, jpeg.data(), int(jpeg.size()));
        }));
    }
    double decode = median(decode_times), draw = median(draw_times);
    std::printf("frames: %d of 640x480 4:2:2, %zu bytes on average\n", FRAMES, bytes / FRAMES);
    std::printf("libjpeg decode to RGB, nothing drawn: %8.1f us per frame\n", decode);
    std::printf("show_video_data into a screen buffer:  %8.1f us per frame\n", draw);
    std::printf("ratio draw / decode: %.3f\n", draw / decode);
    return 0;
}
