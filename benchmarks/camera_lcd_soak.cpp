// A long run of camera_lcd with our camera library on the stand-in V4L2
// device (fake_v4l2): over 100,000 small frames as fast as they are drawn,
// some waiting several at once, some cut short or padded with zeros, and the
// camera unplugged and plugged back 20 times among them. Prints the frames
// drawn, dropped and skipped, the peak resident memory, and the program's
// descriptors and mappings before the first and second unplug and at the end.
#include "synth_jpeg.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int PICTURES = 4;
constexpr int CYCLES = 20;

// One stretch of frames between two unplugs: fake_v4l2 entries over the
// pictures @p0 to @p3 (files in the run's folder), and what they make.
struct stretch {
    const char *entries;
    int frames, drawn, dropped, skipped;
};

// clang-format off
constexpr stretch STRETCH = {
    "@p0*2000:@p1+@p2*600:@p3*1000:cut=@p0*100:padded=@p1*500:@p2+@p3+@p0*200",
    2000 + 1200 + 1000 + 100 + 500 + 600, // frames
    2000 + 600 + 1000 + 500 + 200,        // drawn
    600 + 400,                            // dropped: all but the newest of those waiting together
    100,                                  // skipped: cut short
};
// clang-format on

struct soak_result {
    long peak_kib = -1;
    double seconds = 0, cpu_seconds = 0;
    std::vector<std::string> report; // fake_v4l2's lines
    std::vector<std::string> err;    // camera_lcd's standard error
};

// Writes the pictures p0 to p3, JPEG images of 320 x 240, each a different
// frame, and the file standing in for the screen.
bool write_files(const std::filesystem::path &dir)
{
    std::ofstream screen(dir / "screen");
    if (!screen)
        return false;
    synth_options opt;
    opt.width = 320;
    opt.height = 240;
    for (opt.frame = 0; opt.frame < PICTURES; opt.frame++) {
        std::string path = (dir / ("p" + std::to_string(opt.frame))).string();
        if (!write_bytes(path, synth_jpeg(opt)))
            return false;
    }
    return true;
}

// The stretches with an unplug between each two; the camera stays away for
// one look at every second unplug.
std::string soak_entries(const std::filesystem::path &dir)
{
    std::string stretch;
    for (const char *c = STRETCH.entries; *c; c++)
        stretch += *c == '@' ? dir.string() + "/" : std::string(1, *c);
    std::string entries = stretch;
    for (int cycle = 0; cycle < CYCLES; cycle++)
        entries += ":!unplug=" + std::to_string(cycle % 2) + ":" + stretch;
    return entries;
}

std::vector<std::string> read_lines(const std::filesystem::path &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

[[noreturn]] void exec_camera_lcd(const std::filesystem::path &dir, const std::string &entries)
{
    int err = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, STDERR_FILENO) < 0)
        _exit(126);
    setenv("LD_PRELOAD", VFB_LIBRARY ":" FAKE_V4L2_LIBRARY, 1);
    setenv("VFB_FILE", (dir / "screen").c_str(), 1);
    setenv("FAKE_V4L2_FRAMES", entries.c_str(), 1);
    setenv("FAKE_V4L2_REPORT", (dir / "report").c_str(), 1);
    execl(CAMERA_LCD_PROGRAM, CAMERA_LCD_PROGRAM, static_cast<char *>(nullptr));
    _exit(127);
}

// Runs camera_lcd to the end of the entries; peak_kib stays -1 when it did not
// end with status 0.
soak_result run_soak(const std::filesystem::path &dir, const std::string &entries)
{
    soak_result result;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
        exec_camera_lcd(dir, entries);
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) {
        std::fprintf(stderr, "Unable to run camera_lcd (fork, wait4): %s (%d)\n",
                     std::strerror(errno), errno);
        return result;
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpu_seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        result.peak_kib = usage.ru_maxrss;
    result.report = read_lines(dir / "report");
    result.err = read_lines(dir / "stderr");
    return result;
}

constexpr int LAST = -1;

// What follows prefix in the report's line number `which` (from 0, or LAST)
// of those starting with it.
std::string report_line(const std::vector<std::string> &report, const char *prefix, int which)
{
    std::string found = "(none)";
    int seen = 0;
    for (const std::string &line : report)
        if (line.rfind(prefix, 0) == 0 && (which == LAST || seen++ == which))
            found = line.substr(std::strlen(prefix));
    return found;
}

int count_lines_holding(const std::vector<std::string> &lines, const char *text)
{
    int count = 0;
    for (const std::string &line : lines)
        count += line.find(text) != std::string::npos;
    return count;
}

void print_figures(const soak_result &r)
{
    int stretches = CYCLES + 1;
    std::printf("camera_lcd soak: %d frames of 320x240 fed, camera unplugged and back %d times\n",
                STRETCH.frames * stretches, CYCLES);
    std::printf("  fed to be drawn %d, dropped %d, skipped %d\n", STRETCH.drawn * stretches,
                STRETCH.dropped * stretches, STRETCH.skipped * stretches);
    std::printf("  camera library's count:%s\n", report_line(r.report, "status", LAST).c_str());
    std::printf("  lines \"stopped\" %d, \"is back\" %d, of %zu on standard error\n",
                count_lines_holding(r.err, "stopped, waiting for it"),
                count_lines_holding(r.err, "is back"), r.err.size());
    std::printf("  wall time %.1f s, CPU time %.1f s\n", r.seconds, r.cpu_seconds);
    std::printf("  peak resident memory %ld KiB (%.2f MiB)\n", r.peak_kib, r.peak_kib / 1024.0);
    std::printf("  before the first unplug: %s\n", report_line(r.report, "census ", 0).c_str());
    std::printf("  before the second:       %s\n", report_line(r.report, "census ", 1).c_str());
    std::printf("  at the end:              %s\n", report_line(r.report, "census ", LAST).c_str());
}

} // namespace

int main()
{
    char pattern[] = "/tmp/camera_lcd_soak.XXXXXX";
    if (!mkdtemp(pattern)) {
        std::fprintf(stderr, "Unable to make a folder (mkdtemp): %s (%d)\n", std::strerror(errno),
                     errno);
        return 1;
    }
    std::filesystem::path dir = pattern;
    soak_result result;
    if (write_files(dir))
        result = run_soak(dir, soak_entries(dir));
    if (result.peak_kib >= 0)
        print_figures(result);
    else
        std::fprintf(stderr, "camera_lcd did not run to its end\n");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result.peak_kib >= 0 ? 0 : 1;
}
