// The camera_lcd program from start to end: the replay camera feeds it JPEG
// files, the virtual framebuffer stands in for the screen.
#include "frame_messages.h"
#include "synth_jpeg.h"
#include "test_support.h"
#include "vfb_layouts.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <regex>

namespace {

constexpr unsigned char BEFORE = 0x5A; // what the screen showed before the program ran
constexpr int STILL_RUNNING = -1;      // the exit status of a run the test ends
constexpr int STOP_AFTER_MS = 2500;

struct frame_spec {
    int width, height, components;
    frame_fault fault = frame_fault::none;
    int times = 1; // fed that many times in a row

    bool drawn() const
    {
        return width > 0 && (fault == frame_fault::none || fault == frame_fault::extraneous_bytes);
    }
};

struct live_case {
    std::string name;
    std::vector<frame_spec> frames; // {0, 0, 0}: an empty frame
    std::vector<std::string> extra; // replay entries after the frames ("!timeout", "!enodev")
    const char *layout;
    bool screen_present;
    int exit_status;     // or STILL_RUNNING
    const char *out;     // exact standard output
    const char *err_has; // a pattern standard error must hold (a regular expression), or ""
    int drawn_frame;     // index of the frame whose pixels end on top, -1: none drawn
    int err_lines = -1;  // the number of lines on standard error, -1: any
};

class LiveView : public ::testing::TestWithParam<live_case> {
  protected:
    std::string make_frame(const frame_spec &f, int index)
    {
        std::string path = tmp.path("frame" + std::to_string(index) + ".jpg");
        if (f.width == 0) {
            write_file(path, {});
            return path;
        }
        synth_options opt;
        opt.width = f.width;
        opt.height = f.height;
        opt.components = f.components;
        opt.frame = index;
        write_file(path, spoil_jpeg(synth_jpeg(opt), f.fault, 100 + index));
        return path;
    }

    run_result run(const std::string &frames, const char *layout, bool screen_present,
                   int stop_after_ms)
    {
        std::vector<std::string> env = {
            "LD_PRELOAD=" VFB_LIBRARY,
            "VFB_FILE=" + (screen_present ? screen : tmp.path("no-such-screen")),
            std::string("VFB_LAYOUT=") + layout,
            "LD_LIBRARY_PATH=" REPLAY_CAMERA_DIR,
            "ASAN_OPTIONS=verify_asan_link_order=0",
        };
        if (frames != "-")
            env.push_back("REPLAY_FRAMES=" + frames);
        return run_program({CAMERA_LCD_PROGRAM}, env, stop_after_ms);
    }

    scratch_dir tmp;
    std::string screen = tmp.path("screen");
};

std::ostream &operator<<(std::ostream &out, const live_case &c)
{
    return out << c.name;
}

TEST_P(LiveView, RunsToTheEndWithTheRightPicture)
{
    const live_case &c = GetParam();
    std::vector<std::string> paths;
    std::string frames;
    for (std::size_t i = 0; i < c.frames.size(); i++) {
        paths.push_back(make_frame(c.frames[i], int(i)));
        for (int n = 0; n < c.frames[i].times; n++)
            frames += (frames.empty() ? "" : ":") + paths.back();
    }
    for (const std::string &e : c.extra)
        frames += (frames.empty() ? "" : ":") + e;
    const vfb_layout *layout = vfb_layout_find(c.layout);
    ASSERT_NE(layout, nullptr);
    write_file(screen, std::vector<unsigned char>(layout->smem_len, BEFORE));

    bool still_running = c.exit_status == STILL_RUNNING;
    run_result r = run(c.frames.empty() && c.extra.empty() ? "-" : frames, c.layout,
                       c.screen_present, still_running ? STOP_AFTER_MS : 0);
    EXPECT_EQ(r.signal, still_running ? SIGTERM : 0) << r.err;
    EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err_has))) << r.err;
    if (c.err_lines >= 0) {
        EXPECT_EQ(long(lines_of(r.err).size()), c.err_lines) << r.err;
    }

    // Every pixel: from the last frame that covers it, else as it was before.
    std::vector<unsigned char> expected(layout->smem_len, BEFORE);
    for (int i = 0; i <= c.drawn_frame; i++)
        if (c.frames[i].drawn())
            put_image(expected.data(), *layout, *find_layout_pixels(c.layout),
                      djpeg_decode(paths[i]), 0, 0);
    EXPECT_EQ(describe_differences(read_bytes(screen), expected, layout->line_length), "");
}

const char *const NO_TEXT = "";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Runs, LiveView,
    ::testing::Values(
        live_case{"camera_frame_keeps_columns_640_to_799", {{640, 480, 3}}, {}, "xrgb8888", true,
                  0, NO_TEXT, NO_TEXT, 0},
        live_case{"frames_in_turn_smaller_last", {{640, 480, 3}, {800, 480, 3}, {320, 240, 3}}, {},
                  "xrgb8888", true, 0, NO_TEXT, NO_TEXT, 2},
        live_case{"frame_larger_than_screen_is_clipped", {{1280, 720, 3}}, {}, "xrgb8888", true, 0,
                  NO_TEXT, NO_TEXT, 0},
        live_case{"greyscale_frame", {{320, 240, 1}}, {}, "xrgb8888", true, 0, NO_TEXT, NO_TEXT, 0},
        live_case{"empty_frame_not_drawn_view_goes_on", {{640, 480, 3}, {0, 0, 0}, {320, 240, 3}},
                  {}, "xrgb8888", true, 0, NO_TEXT,
                  "^camera_lcd: frame not decoded: Empty input file\n$", 2},
        // 300 frames that warn and 300 undecodable ones leave a line each;
        // SIGUSR1 asks for the status line, and the last frame comes again.
        live_case{"each_message_told_once_and_status_line_on_request",
                  {{640, 480, 3, frame_fault::extraneous_bytes, 300},
                   {320, 240, 3, frame_fault::precision_12, 300}, {160, 120, 3}}, {"!usr1"},
                  "xrgb8888", true, 0, NO_TEXT,
                  "^camera_lcd: frame with a warning: Corrupt JPEG data: [0-9]+ extraneous bytes "
                  "before marker 0xd9\n"
                  "camera_lcd: frame not decoded: Unsupported JPEG data precision 12\n"
                  "camera_lcd: 302 frames drawn since start, 302 in the last [0-9.]+ s "
                  "\\([0-9.]+ a second\\); 300 undecodable, 300 with warnings; decode and "
                  "draw [0-9.]+ ms median, [0-9.]+ ms at most\n$", 2, 3},
        live_case{"undecodable_frames_in_a_row_told_once",
                  {{64, 48, 3, frame_fault::noise, 300}, {64, 48, 3, frame_fault::zero_height, 300}},
                  {}, "xrgb8888", true, 0, NO_TEXT,
                  "frame not decoded: JPEG datastream contains no image\n.*"
                  "frame not decoded: Empty JPEG image \\(DNL not supported\\)\n$", -1, 3},
        live_case{"timeouts_reported_once_then_frames", {}, {"!timeout", "!timeout", "!timeout"},
                  "xrgb8888", true, 0, NO_TEXT, "no frame from /dev/video7, waiting", -1},
        live_case{"camera_gone", {{160, 120, 3}}, {"!enodev"}, "xrgb8888", true, STILL_RUNNING,
                  NO_TEXT, "the camera /dev/video7 stopped, waiting for it", 0},
        live_case{"no_camera", {}, {}, "xrgb8888", true, 1, NO_TEXT,
                  "cannot start the camera /dev/video7", -1},
        live_case{"no_screen", {{160, 120, 3}}, {}, "xrgb8888", false, 1, "open lcd error\n",
                  NO_TEXT, -1},
        live_case{"screen_memory_too_small_is_refused", {{160, 120, 3}}, {}, "xrgb8888-short", true,
                  1, NO_TEXT, "^Unable to map /dev/fb0: screen memory is 1228800 bytes, 1536000 needed\n$", -1},
        live_case{"palette_screen_is_refused", {{160, 120, 3}}, {}, "pseudocolor8", true, 1, NO_TEXT,
                  "^Unable to draw on /dev/fb0: palette screen of 8 bits per pixel\n$", -1},
        live_case{"monochrome_screen_is_refused", {{160, 120, 3}}, {}, "mono1", true, 1, NO_TEXT,
                  "^Unable to draw on /dev/fb0: monochrome screen of 1 bits per pixel\n$", -1}),
    [](const ::testing::TestParamInfo<live_case> &info) { return info.param.name; });
// clang-format on

// On every screen the driver describes, a frame larger than the screen, then a smaller one.
std::vector<live_case> layout_cases()
{
    std::vector<live_case> cases;
    for (const layout_pixels &l : DRAWABLE_LAYOUTS)
        cases.push_back({layout_id(l.name),
                         {{1280, 720, 3}, {320, 240, 3}},
                         {},
                         l.name,
                         true,
                         0,
                         NO_TEXT,
                         NO_TEXT,
                         1});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Layouts, LiveView, ::testing::ValuesIn(layout_cases()),
                         [](const ::testing::TestParamInfo<live_case> &info) {
                             return info.param.name;
                         });

TEST(LiveViewTimeouts, ReportedOnceAfterEachFrame)
{
    scratch_dir tmp;
    std::string frame = tmp.path("f.jpg");
    synth_options opt;
    opt.width = 64;
    opt.height = 48;
    write_file(frame, synth_jpeg(opt));
    std::string screen = tmp.path("screen");
    write_file(screen, {});
    run_result r = run_program(
        {CAMERA_LCD_PROGRAM},
        {"LD_PRELOAD=" VFB_LIBRARY, "VFB_FILE=" + screen, "LD_LIBRARY_PATH=" REPLAY_CAMERA_DIR,
         "ASAN_OPTIONS=verify_asan_link_order=0",
         "REPLAY_FRAMES=!timeout:!timeout:" + frame + ":!timeout:!timeout:!timeout:" + frame});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::string line = "camera_lcd: no frame from /dev/video7, waiting\n";
    EXPECT_EQ(r.err, line + line);
}

// What the live view says of libjpeg's messages over time: each step notes a
// frame's message (code 0: none) or asks for the line of repeats, at a time
// in seconds, and prints exactly the text given.
struct message_step {
    double now;
    int code; // 0: report_repeats only
    bool fatal;
    const char *text;
    const char *printed;
};

TEST(FrameMessages, FirstOfEachThenRepeatsAtMostOnceAMinute)
{
    const char *const WARNED =
        "camera_lcd: frame with a warning: Corrupt JPEG data: 3 extraneous bytes\n";
    // clang-format off
    const message_step steps[] = {
        {0.0,   97, false, "Corrupt JPEG data: 3 extraneous bytes", WARNED},
        {0.1,   97, false, "Corrupt JPEG data: 8 extraneous bytes", ""}, // the same code
        {0.2,   97, false, "Corrupt JPEG data: 5 extraneous bytes", ""},
        {10.0,  49, true,  "Unsupported JPEG data precision 12",
                "camera_lcd: frame not decoded: Unsupported JPEG data precision 12\n"},
        {11.0,  49, true,  "Unsupported JPEG data precision 12", ""},
        {59.9,  0,  false, "", ""},
        {60.0,  0,  false, "",
                "camera_lcd: in the last 60 s, 2 more frames with \"Corrupt JPEG data: 5 extraneous "
                "bytes\"; 1 more frames with \"Unsupported JPEG data precision 12\"\n"},
        {61.0,  0,  false, "", ""},                                           // nothing repeated
        {70.0,  97, false, "Corrupt JPEG data: 3 extraneous bytes", WARNED},  // quiet for a minute
        {71.0,  97, false, "Corrupt JPEG data: 4 extraneous bytes", ""},
        {100.0, 0,  false, "", ""},                                           // a minute after the last line
        {120.0, 0,  false, "",
                "camera_lcd: in the last 60 s, 1 more frames with \"Corrupt JPEG data: 4 extraneous bytes\"\n"},
    };
    // clang-format on
    for (const message_step &step : steps) {
        testing::internal::CaptureStderr();
        if (step.code == 0) {
            report_repeats(step.now);
        } else {
            jpeg_report report = {step.fatal, step.fatal ? 0 : 1, 1, {}};
            report.messages[0].code = step.code;
            std::snprintf(report.messages[0].text, sizeof report.messages[0].text, "%s", step.text);
            note_frame_messages(report, step.now);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), step.printed)
            << "at " << step.now << " s";
    }
}

} // namespace
