// A long run of camera_lcd with our camera library on the stand-in V4L2
// device (fake_v4l2): over 100,000 small frames as fast as they are drawn,
// some waiting several at once, some cut short or padded with zeros, some
// that libjpeg warns about or cannot decode, and the camera unplugged and
// plugged back 20 times among them. Prints the frames drawn, dropped,
// skipped, undecodable and warned about, the lines camera_lcd printed, the
// peak resident memory, and the program's descriptors and mappings before the
// first and second unplug and at the end.
#include "synth_jpeg.h"
#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int PICTURES = 4;
constexpr int CYCLES = 20;

// Frames libjpeg warns about or refuses, written beside the pictures.
struct faulty_picture {
    const char *name;
    frame_fault fault;
};
constexpr faulty_picture FAULTY[] = {{"warn", frame_fault::extraneous_bytes},
                                     {"dnl", frame_fault::zero_height},
                                     {"noise", frame_fault::noise},
                                     {"p12", frame_fault::precision_12}};

// One stretch of frames between two unplugs: fake_v4l2 entries over the
// pictures @p0 to @p3 and the faulty ones (files in the run's folder), and
// what they make.
struct stretch {
    const char *entries;
    int frames, drawn, dropped, skipped, undecodable, warned;
};

// clang-format off
constexpr stretch STRETCH = {
    "@p0*2000:@p1+@p2*600:@p3*1000:cut=@p0*100:padded=@p1*500:@p2+@p3+@p0*200:"
    "@warn*300:@dnl*100:@noise*100:@p12*100",
    2000 + 1200 + 1000 + 100 + 500 + 600 + 600, // frames
    2000 + 600 + 1000 + 500 + 200 + 300,        // drawn
    600 + 400,                                  // dropped: all but the newest of those waiting together
    100,                                        // skipped: cut short
    300,                                        // undecodable
    300 + 100,                                  // warned: noise has bytes before its end marker too
};
// clang-format on

// After the last stretch: the status line asked for, then one more frame.
constexpr const char STATUS_ENTRIES[] = ":!usr1:@p0";

struct soak_result {
    run_result run;
    double seconds = 0;
    std::vector<std::string> report; // fake_v4l2's lines
    std::vector<std::string> err;    // camera_lcd's standard error
};

// Writes the pictures p0 to p3, JPEG images of 320 x 240, each a different
// frame, and the file standing in for the screen.
void write_files(const scratch_dir &tmp)
{
    write_file(tmp.path("screen"), {});
    synth_options opt;
    opt.width = 320;
    opt.height = 240;
    for (opt.frame = 0; opt.frame < PICTURES; opt.frame++)
        write_file(tmp.path("p" + std::to_string(opt.frame)), synth_jpeg(opt));
    for (const faulty_picture &f : FAULTY)
        write_file(tmp.path(f.name), spoil_jpeg(synth_jpeg(opt), f.fault, 100));
}

// The stretches with an unplug between each two, the camera staying away for
// one look at every second unplug, then the status line asked for.
std::string soak_entries(const scratch_dir &tmp)
{
    std::string entries = STRETCH.entries;
    for (int cycle = 0; cycle < CYCLES; cycle++)
        entries += ":!unplug=" + std::to_string(cycle % 2) + ":" + STRETCH.entries;
    entries += STATUS_ENTRIES;
    std::string paths;
    for (char c : entries)
        paths += c == '@' ? tmp.path("") : std::string(1, c);
    return paths;
}

// Runs camera_lcd to the end of the entries.
soak_result run_soak(const scratch_dir &tmp)
{
    soak_result result;
    auto start = std::chrono::steady_clock::now();
    result.run = run_program({CAMERA_LCD_PROGRAM}, {"LD_PRELOAD=" VFB_LIBRARY ":" FAKE_V4L2_LIBRARY,
                                                    "VFB_FILE=" + tmp.path("screen"),
                                                    "FAKE_V4L2_FRAMES=" + soak_entries(tmp),
                                                    "FAKE_V4L2_REPORT=" + tmp.path("report")});
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.report = file_lines(tmp.path("report"));
    result.err = lines_of(result.run.err);
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
                STRETCH.frames * stretches + 1, CYCLES);
    std::printf("  fed to be drawn %d, dropped %d, skipped %d, undecodable %d, warned about %d\n",
                STRETCH.drawn * stretches + 1, STRETCH.dropped * stretches,
                STRETCH.skipped * stretches, STRETCH.undecodable * stretches,
                STRETCH.warned * stretches);
    std::printf("  camera library's count:%s\n", report_line(r.report, "status", LAST).c_str());
    for (const std::string &line : r.err)
        if (line.find("frames drawn since start") != std::string::npos)
            std::printf("  camera_lcd's status line: %s\n", line.c_str());
    std::printf("  lines \"stopped\" %d, \"is back\" %d, of libjpeg's messages %d first and %d "
                "of repeats, of %zu on standard error\n",
                count_lines_holding(r.err, "stopped, waiting for it"),
                count_lines_holding(r.err, "is back"),
                count_lines_holding(r.err, "camera_lcd: frame "),
                count_lines_holding(r.err, "camera_lcd: in the last"), r.err.size());
    std::printf("  wall time %.1f s, CPU time %.1f s\n", r.seconds, r.run.cpu_seconds);
    std::printf("  peak resident memory %ld KiB (%.2f MiB)\n", r.run.peak_kib,
                r.run.peak_kib / 1024.0);
    std::printf("  before the first unplug: %s\n", report_line(r.report, "census ", 0).c_str());
    std::printf("  before the second:       %s\n", report_line(r.report, "census ", 1).c_str());
    std::printf("  at the end:              %s\n", report_line(r.report, "census ", LAST).c_str());
}

} // namespace

int main()
{
    scratch_dir tmp;
    write_files(tmp);
    soak_result result = run_soak(tmp);
    if (result.run.exit_status != 0 || result.run.signal != 0) {
        std::fprintf(stderr, "camera_lcd did not run to its end:\n%s", result.run.err.c_str());
        return 1;
    }
    print_figures(result);
    return 0;
}
