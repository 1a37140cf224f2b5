// Whole-process time and peak memory of jpeg_fb showing a photo-like JPEG on
// the virtual screen, next to djpeg decoding the same file in the same run.
#include "bench_support.h"
#include "monotonic_time.h"
#include "synth_jpeg.h"
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int REPETITIONS = 15;

struct run_figures {
    double seconds;     // wall clock, start to end
    double cpu_seconds; // user and system time of the program
    long peak_kib;      // its peak resident memory
};

// Runs a program to its end on the virtual screen; seconds < 0 when it failed.
run_figures run(const std::vector<std::string> &argv, const std::string &screen)
{
    timespec start = monotonic_now();
    run_result r = run_program(argv, {"LD_PRELOAD=" VFB_LIBRARY, "VFB_FILE=" + screen});
    if (r.exit_status != 0)
        return {-1, 0, 0};
    return {seconds_between(start, monotonic_now()), r.cpu_seconds, r.peak_kib};
}

// A screen is memory, not a disk file: the virtual one goes to shared memory
// where there is some, so flushing it costs no disk writes.
std::string screen_path(const std::string &dir)
{
    if (access("/dev/shm", W_OK) != 0)
        return dir + "/screen";
    return "/dev/shm/" + dir.substr(dir.rfind('/') + 1) + ".screen";
}

// Times both programs in turn on one file and prints a line of figures.
int bench(const std::string &dir, int width, int height)
{
    synth_options opt;
    opt.width = width, opt.height = height, opt.quality = 90, opt.chroma_422 = false;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    std::string path = dir + "/photo.jpg", screen = screen_path(dir);
    write_file(path, jpeg);
    write_file(screen, {});
    std::vector<double> viewer, decoder, viewer_cpu, decoder_cpu;
    long peak = 0, decoder_peak = 0;
    for (int i = 0; i < REPETITIONS; i++) {
        run_figures v = run({JPEG_FB_PROGRAM, path}, screen);
        run_figures d = run({DJPEG_PROGRAM, "-outfile", "/dev/null", path}, screen);
        if (v.seconds < 0 || d.seconds < 0)
            break;
        viewer.push_back(v.seconds), decoder.push_back(d.seconds);
        viewer_cpu.push_back(v.cpu_seconds), decoder_cpu.push_back(d.cpu_seconds);
        peak = std::max(peak, v.peak_kib);
        decoder_peak = std::max(decoder_peak, d.peak_kib);
    }
    unlink(screen.c_str());
    if (viewer.size() != REPETITIONS)
        return -1;
    double image_kib = double(width) * height * 3 / 1024, file_kib = double(jpeg.size()) / 1024;
    double v = median(viewer), d = median(decoder);
    double vc = median(viewer_cpu), dc = median(decoder_cpu);
    std::printf("%5dx%-5d jpeg_fb %7.1f ms  djpeg %7.1f ms  ratio %.3f (target <= 1.10)\n", width,
                height, v * 1e3, d * 1e3, v / d);
    std::printf("            cpu time jpeg_fb %.1f ms  djpeg %.1f ms  ratio %.3f\n", vc * 1e3,
                dc * 1e3, vc / dc);
    std::printf("            peak memory jpeg_fb %ld KiB, djpeg %ld KiB; decoded image %.0f KiB + "
                "file %.0f KiB = %.0f KiB; jpeg_fb / (image + file) %.3f (target <= 1.10)\n",
                peak, decoder_peak, image_kib, file_kib, image_kib + file_kib,
                peak / (image_kib + file_kib));
    return 0;
}

} // namespace

int main()
{
    scratch_dir tmp;
    std::printf("jpeg_fb on an 800x480 xrgb8888 virtual screen, median of %d runs each\n",
                REPETITIONS);
    if (bench(tmp.dir, 1920, 1080) < 0 || bench(tmp.dir, 4000, 3000) < 0) {
        std::fprintf(stderr, "jpeg_fb or djpeg did not run to its end\n");
        return 1;
    }
    return 0;
}
