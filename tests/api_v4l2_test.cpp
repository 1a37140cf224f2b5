// camera_lcd with our real camera library in front of a stand-in V4L2 device
// (fake_v4l2): the faults a camera shows, the buffers the library must skip or
// drop, and a camera that goes away and comes back.
#include "synth_jpeg.h"
#include "test_support.h"
#include "vfb_layouts.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

constexpr const char SCREEN_LAYOUT[] = "xrgb8888"; // the virtual framebuffer's default
constexpr unsigned char BEFORE = 0x5A;             // what the screen showed before the program ran

// Frames are named in the entries: "@small" 320 x 240, "@mid" a different
// 640 x 360 picture, "@full" another one of 800 x 480, "@cut" the small one cut
// short, "@table_less" it without Huffman tables, "@garbled" it with bytes of
// its coded picture zeroed, "@bad_header" it with a segment length past its end.

struct device_case {
    const char *name;
    std::vector<std::string> entries; // fake_v4l2 entries; "@small" and so on name the frames
    const char *fail;                 // FAKE_V4L2_FAIL, or ""
    int exit_status;
    std::vector<std::string> err_has; // one text for each line of standard error, in order
    const char *drawn;                // the frame on top afterwards ("@small"...), or "" for none
    std::vector<std::string> report_has = {}; // lines fake_v4l2's report must hold
    bool corrupt_data = false; // decoded differently by each SIMD implementation of libjpeg
    unsigned grant = 0;        // buffers fake_v4l2 grants whatever is asked, 0: as asked
};

std::ostream &operator<<(std::ostream &out, const device_case &c)
{
    return out << c.name;
}

std::vector<unsigned char> frame_bytes(const std::string &name)
{
    synth_options opt;
    opt.width = 320, opt.height = 240;
    if (name == "@full")
        opt.width = 800, opt.height = 480, opt.frame = 3;
    if (name == "@mid")
        opt.width = 640, opt.height = 360, opt.frame = 6;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    if (name == "@cut")
        jpeg.resize(jpeg.size() * 6 / 10);
    if (name == "@table_less")
        jpeg = strip_huffman_tables(jpeg);
    if (name == "@garbled") // 200 bytes of its coded picture, zeros making no markers
        std::fill_n(jpeg.begin() + long(jpeg.size() / 2), 200, 0);
    if (name == "@bad_header") // the quantization table's length field after the start marker
        jpeg[4] = 0xFF, jpeg[5] = 0xFF;
    return jpeg;
}

class CameraDevice : public ::testing::TestWithParam<device_case> {
  protected:
    // The entry with each frame name replaced by the path of a file holding that frame.
    std::string resolve(const std::string &entry)
    {
        std::size_t plus = entry.find('+');
        if (plus != std::string::npos)
            return resolve(entry.substr(0, plus)) + "+" + resolve(entry.substr(plus + 1));
        std::size_t at = entry.find('@');
        if (at == std::string::npos)
            return entry;
        std::string name = entry.substr(at), path = tmp.path(name.substr(1) + ".jpg");
        write_file(path, frame_bytes(name));
        return entry.substr(0, at) + path;
    }

    run_result run(const device_case &c)
    {
        std::string frames;
        for (const std::string &e : c.entries)
            frames += (frames.empty() ? "" : ":") + resolve(e);
        write_file(screen, std::vector<unsigned char>(layout->smem_len, BEFORE));
        std::vector<std::string> env = {"LD_PRELOAD=" VFB_LIBRARY ":" FAKE_V4L2_LIBRARY,
                                        "VFB_FILE=" + screen, "FAKE_V4L2_FRAMES=" + frames,
                                        "FAKE_V4L2_REPORT=" + report_path,
                                        "ASAN_OPTIONS=verify_asan_link_order=0"};
        if (*c.fail)
            env.push_back(std::string("FAKE_V4L2_FAIL=") + c.fail);
        if (c.grant)
            env.push_back("FAKE_V4L2_GRANT=" + std::to_string(c.grant));
        return run_program({CAMERA_LCD_PROGRAM}, env);
    }

    const vfb_layout *layout = vfb_layout_find(SCREEN_LAYOUT);
    scratch_dir tmp;
    std::string screen = tmp.path("screen");
    std::string report_path = tmp.path("report");
};

// What must not grow in a census line. The sanitizer's allocator maps its own
// memory piece by piece as the program goes, inside what it reserved at start:
// there only the descriptors and the mapped size count.
std::string lasting_part(const std::string &census)
{
#if defined(__SANITIZE_ADDRESS__)
    std::size_t maps = census.find(" maps="), kib = census.find(" kib=");
    if (maps != std::string::npos && kib != std::string::npos)
        return census.substr(0, maps) + census.substr(kib);
#endif
    return census;
}

TEST_P(CameraDevice, StatusMessagesAndPicture)
{
    const device_case &c = GetParam();
    run_result r = run(c);
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> err = lines_of(r.err);
    ASSERT_EQ(err.size(), c.err_has.size()) << r.err;
    for (std::size_t i = 0; i < err.size(); i++)
        EXPECT_NE(err[i].find(c.err_has[i]), std::string::npos) << "line " << i << ":\n" << r.err;

    std::vector<std::string> report = file_lines(report_path); // one line an entry
    for (const std::string &text : c.report_has)
        EXPECT_NE(std::find(report.begin(), report.end(), text), report.end())
            << "no \"" << text << "\" in the report:\n"
            << ::testing::PrintToString(report);
    // Descriptors and mappings, counted while streaming before each loss and at
    // the end, do not grow from one loss to the next: by the second count each
    // path has run once and the process's own memory has settled.
    std::vector<std::string> census;
    std::copy_if(report.begin(), report.end(), std::back_inserter(census),
                 [](const std::string &line) { return line.rfind("census", 0) == 0; });
    long unplugs = std::count_if(c.entries.begin(), c.entries.end(),
                                 [](const std::string &e) { return e.rfind("!unplug", 0) == 0; });
    if (c.exit_status == 0) { // counted at each loss and at the end
        EXPECT_EQ(long(census.size()), unplugs + 1);
    }
    // Each loss is waited out for a second or more, asleep: a loop that polled
    // for the camera would spend that time on the CPU.
    if (unplugs > 0) {
        EXPECT_LT(r.cpu_seconds, 0.5 * double(unplugs)) << "CPU seconds while waiting";
    }
    for (std::size_t i = 2; i < census.size(); i++)
        EXPECT_EQ(lasting_part(census[i]), lasting_part(census[1]));

    rgb_image drawn = *c.drawn ? djpeg_decode(resolve(c.drawn)) : rgb_image{};
    std::vector<unsigned char> expected(layout->smem_len, BEFORE);
    put_image(expected.data(), *layout, *find_layout_pixels(SCREEN_LAYOUT), drawn, 0, 0);
    // Under the emulator the target's libjpeg decodes and the host's djpeg is
    // the reference: on corrupt data they may differ in a hundredth of the picture.
    std::size_t allowed = c.corrupt_data && runs_under_emulator() ? drawn.rgb.size() / 100 : 0;
    EXPECT_EQ(describe_differences(read_bytes(screen), expected, layout->line_length, allowed), "");
}

const std::string STOPPED = "camera_lcd: the camera /dev/video7 stopped, waiting for it";
const std::string BACK = "camera_lcd: the camera /dev/video7 is back";
const std::string NOT_STARTED = "camera_lcd: cannot start the camera /dev/video7";
const std::string WAITING = "camera_lcd: no frame from /dev/video7, waiting";
const std::string UNPLUGGED = "Unable to dequeue a buffer (VIDIOC_DQBUF): No such device (19)";
const std::string DEQUEUE_EIO = "Unable to dequeue a buffer (VIDIOC_DQBUF): Input/output error (5)";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, CameraDevice,
    ::testing::Values(
        device_case{"frame_from_the_device", {"@small"}, "", 0, {}, "@small"},
        device_case{"flagged_empty_and_headless_buffers_skipped",
                    {"@small", "error=@full", "empty=@full", "nosoi=@full"}, "", 0, {}, "@small",
                    {"status delivered=1 skipped=3 dropped=0 started=1"}},
        device_case{"frames_cut_short_skipped", {"@small", "@cut", "cut=@full"}, "", 0, {}, "@small",
                    {"status delivered=1 skipped=2 dropped=0 started=1"}},
        device_case{"frame_padded_with_zeros_drawn", {"@small", "padded=@full"}, "", 0, {}, "@full"},
        device_case{"newest_of_frames_waiting_drawn_older_dropped", {"@full+@mid+@small"}, "", 0, {},
                    "@small", {"status delivered=1 skipped=0 dropped=2 started=1"}},
        device_case{"newest_complete_of_frames_waiting_drawn", {"@full+@small+cut=@mid"}, "", 0, {},
                    "@small", {"status delivered=1 skipped=1 dropped=1 started=1"}},
        device_case{"frame_without_huffman_tables_drawn", {"@table_less"}, "", 0, {}, "@table_less"},
        device_case{"garbled_frame_drawn_with_warning", {"@garbled"}, "", 0, {"Corrupt JPEG data"},
                    "@garbled", {}, true},
        device_case{"frame_with_bad_header_not_drawn_view_goes_on", {"@small", "@bad_header", "@mid"}, "",
                    0, {"camera_lcd: frame with a warning: Premature end of JPEG file",
                        "camera_lcd: frame not decoded: JPEG datastream contains no image"}, "@mid"},
        device_case{"status_line_with_the_camera_librarys_counts", {"@small", "!usr1", "@mid"}, "", 0,
                    {"; camera: 2 delivered, 0 skipped, 0 dropped, 1 streams started"},
                    "@mid"},
        device_case{"timeout_reported_then_frames", {"!timeout", "!timeout", "@small"}, "", 0,
                    {WAITING}, "@small"},
        device_case{"unplugged_and_back_three_times",
                    {"@small", "!unplug=1", "@mid", "!unplug=0", "@small", "!unplug=0", "@full"}, "", 0,
                    {UNPLUGGED, STOPPED, BACK, UNPLUGGED, STOPPED, BACK, UNPLUGGED, STOPPED, BACK},
                    "@full", {"status delivered=4 skipped=0 dropped=0 started=4"}},
        device_case{"more_buffers_granted_than_the_library_asks_all_queued",
                    {"@small", "!unplug=0", "@mid", "!unplug=0", "@full"}, "", 0,
                    {UNPLUGGED, STOPPED, BACK, UNPLUGGED, STOPPED, BACK}, "@full",
                    {"status delivered=3 skipped=0 dropped=0 started=3"}, false, 40},
        device_case{"dequeue_input_output_error_then_back", {"@small", "!eio", "@mid"}, "", 0,
                    {DEQUEUE_EIO, STOPPED, BACK}, "@mid"},
        device_case{"poll_error_with_nothing_to_dequeue_then_back", {"@small", "!pollerr", "@mid"}, "",
                    0, {DEQUEUE_EIO, STOPPED, BACK}, "@mid"},
        device_case{"back_but_refusing_buffers_reported_once", {"@small", "!unplug=0", "@mid"},
                    "REQBUFS:ENOMEM:2-3", 0,
                    {UNPLUGGED, STOPPED,
                     "Unable to request buffers (VIDIOC_REQBUFS): Cannot allocate memory (12)", BACK},
                    "@mid", {"status delivered=2 skipped=0 dropped=0 started=2"}},
        device_case{"no_camera", {"@small"}, "open:ENOENT", 1,
                    {"Unable to open /dev/video7: No such file or directory (2)", NOT_STARTED}, ""},
        device_case{"not_a_video_device", {"@small"}, "QUERYCAP:ENOTTY", 1,
                    {"Unable to query capabilities (VIDIOC_QUERYCAP): Inappropriate ioctl for device (25)",
                     NOT_STARTED}, ""},
        device_case{"format_refused", {"@small"}, "S_FMT:EBUSY", 1,
                    {"Unable to set the MJPEG format (VIDIOC_S_FMT): Device or resource busy (16)",
                     NOT_STARTED}, ""},
        device_case{"no_buffers", {"@small"}, "REQBUFS:ENOMEM", 1,
                    {"Unable to request buffers (VIDIOC_REQBUFS): Cannot allocate memory (12)",
                     NOT_STARTED}, ""},
        device_case{"buffer_not_mappable", {"@small"}, "mmap:EINVAL", 1,
                    {"Unable to map a buffer (mmap): Invalid argument (22)", NOT_STARTED}, ""},
        device_case{"buffer_not_queued", {"@small"}, "QBUF:EIO", 1,
                    {"Unable to queue a buffer (VIDIOC_QBUF): Input/output error (5)", NOT_STARTED}, ""},
        device_case{"streaming_refused", {"@small"}, "STREAMON:EIO", 1,
                    {"Unable to start streaming (VIDIOC_STREAMON): Input/output error (5)", NOT_STARTED},
                    ""}),
    [](const ::testing::TestParamInfo<device_case> &info) { return std::string(info.param.name); });
// clang-format on

} // namespace
