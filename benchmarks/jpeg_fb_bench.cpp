// Whole-process time and peak memory of jpeg_fb showing a photo-like JPEG on
// the virtual screen, next to djpeg decoding the same file in the same run.
#include "synth_jpeg.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int REPETITIONS = 15;

struct run_figures {
    double seconds;     // wall clock, start to end
    double cpu_seconds; // user and system time of the child
    long peak_kib;      // ru_maxrss of the child
};

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs a program to its end with its output discarded; seconds < 0 when it failed.
run_figures run(const std::vector<std::string> &argv, const std::string &screen)
{
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LD_PRELOAD", VFB_LIBRARY, 1);
        setenv("VFB_FILE", screen.c_str(), 1);
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {-1, 0, 0};
    double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return {now() - start, cpu, usage.ru_maxrss};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    if (!write_bytes(path, jpeg) || !write_bytes(screen, {}))
        return -1;
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
    char dir[] = "/tmp/jpeg_fb_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::printf("jpeg_fb on an 800x480 xrgb8888 virtual screen, median of %d runs each\n",
                REPETITIONS);
    int result = bench(dir, 1920, 1080) < 0 || bench(dir, 4000, 3000) < 0 ? 1 : 0;
    std::system((std::string("rm -rf ") + dir).c_str());
    if (result)
        std::fprintf(stderr, "jpeg_fb or djpeg did not run to its end\n");
    return result;
}
