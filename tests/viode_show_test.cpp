// camera_lcd from start to end on the virtual framebuffer, fed JPEG frames by
// the replay camera (LiveView), or by the stand-in V4L2 device through our
// real camera library (CameraDevice): the faults a camera shows, the buffers
// the library must skip or drop, a camera that goes away and comes back, and
// the time from each frame's capture to the screen.
#include "synth_jpeg.h"
#include "test_support.h"
#include "vfb_layouts.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <regex>

namespace {

constexpr unsigned char BEFORE = 0x5A;             // what the screen showed before the program ran
constexpr const char SCREEN_LAYOUT[] = "xrgb8888"; // the virtual framebuffer's default

// Lines camera_lcd and our camera library print.
const std::string STOPPED = "camera_lcd: the camera /dev/video7 stopped, waiting for it";
const std::string BACK = "camera_lcd: the camera /dev/video7 is back";
const std::string NOT_STARTED = "camera_lcd: cannot start the camera /dev/video7";
const std::string WAITING = "camera_lcd: no frame from /dev/video7, waiting";
const std::string UNPLUGGED = "Unable to dequeue a buffer (VIDIOC_DQBUF): No such device (19)";
const std::string DEQUEUE_EIO = "Unable to dequeue a buffer (VIDIOC_DQBUF): Input/output error (5)";
// fake_v4l2's camera offers 640 x 480 as the largest size within the screen,
// and 30 frames a second as its fastest.
const std::string CHOSEN = "Camera /dev/video7: MJPEG 640x480 at 30 frames a second";

// The entries in one list separated by ':', as both cameras take them.
std::string joined(const std::vector<std::string> &entries)
{
    std::string list;
    for (const std::string &e : entries)
        list += (list.empty() ? "" : ":") + e;
    return list;
}

// The bytes of the screen file: enough for each layout the screen takes.
std::size_t screen_file_bytes(const char *layout, const std::vector<const char *> &later = {})
{
    std::size_t bytes = vfb_layout_find(layout)->smem_len;
    for (const char *name : later)
        bytes = std::max<std::size_t>(bytes, vfb_layout_find(name)->smem_len);
    return bytes;
}

// Runs camera_lcd with env added, on the virtual screen in the file screen,
// of the named layout (and of those it changes to later), first filled with BEFORE.
run_result run_camera_lcd(std::vector<std::string> env, const std::string &screen,
                          const char *layout, const std::string &stop_once_err_has = "",
                          const std::vector<const char *> &later = {})
{
    write_file(screen, std::vector<unsigned char>(screen_file_bytes(layout, later), BEFORE));
    env.insert(env.end(),
               {"VFB_LAYOUT=" + std::string(layout), "ASAN_OPTIONS=verify_asan_link_order=0"});
    return run_program({CAMERA_LCD_PROGRAM}, env, stop_once_err_has);
}

// A picture drawn at the top-left corner of the screen as the layout has it.
struct drawn_picture {
    rgb_image image;
    const char *layout;
};

// Empty when every byte of the screen is right: the pictures drawn one over
// the other, BEFORE elsewhere; allowed bytes may differ.
std::string screen_differences(const std::string &screen, const char *layout,
                               const std::vector<drawn_picture> &drawn,
                               const std::vector<const char *> &later = {}, std::size_t allowed = 0)
{
    std::vector<unsigned char> expected(screen_file_bytes(layout, later), BEFORE);
    for (const drawn_picture &p : drawn)
        put_image(expected.data(), *vfb_layout_find(p.layout), *find_layout_pixels(p.layout),
                  p.image, 0, 0);
    return describe_differences(read_bytes(screen), expected, vfb_layout_find(layout)->line_length,
                                allowed);
}

// The replay camera

// One entry of the replay camera: a frame made here, or an event instead.
struct replay_entry {
    int width = 0, height = 0; // 0 x 0: an empty frame
    int components = 3;
    frame_fault fault = frame_fault::none;
    int repeats = 1;             // fed that many times in a row
    const char *event = nullptr; // "!timeout", "!enodev", "!usr1", "!screen=NAME"

    // clang-format off
    replay_entry &spoiled(frame_fault how) { fault = how; return *this; }
    replay_entry &repeated(int times) { repeats = times; return *this; }
    // clang-format on
    bool drawn() const
    {
        return !event && width > 0 &&
               (fault == frame_fault::none || fault == frame_fault::extraneous_bytes);
    }
};

replay_entry colour(int width, int height)
{
    return {width, height};
}
replay_entry grey(int width, int height)
{
    return {width, height, 1};
}
const replay_entry EMPTY_FRAME = {};
const replay_entry TIMEOUT = {0, 0, 3, frame_fault::none, 1, "!timeout"};
const replay_entry GONE = {0, 0, 3, frame_fault::none, 1, "!enodev"};
const replay_entry STATUS_ASKED = {0, 0, 3, frame_fault::none, 1, "!usr1"}; // the last frame again
const replay_entry SNAPSHOT_ASKED = {0, 0, 3, frame_fault::none, 1, "!usr2"}; // the same
constexpr std::size_t SCREEN_EVENT_BYTES = sizeof "!screen=" - 1;
// "!screen=NAME": the screen changes to the layout NAME ("gone,NAME": goes
// away and comes back as NAME; "unmappable,NAME": its next mapping fails), and
// the last frame comes again.
replay_entry screen_becomes(const char *event)
{
    return {0, 0, 3, frame_fault::none, 1, event};
}
// The layout a screen event leaves, or nullptr for another entry.
const char *layout_after(const replay_entry &e)
{
    if (!e.event || std::strncmp(e.event, "!screen=", SCREEN_EVENT_BYTES) != 0)
        return nullptr;
    const char *name = e.event + SCREEN_EVENT_BYTES;
    for (const char *state : {"gone,", "unmappable,"})
        if (std::strncmp(name, state, std::strlen(state)) == 0)
            name += std::strlen(state);
    return name;
}

struct live_case {
    std::string name;
    std::vector<replay_entry> entries; // none: the camera cannot be opened
    const char *layout = SCREEN_LAYOUT;
    bool screen_present = true;
    int exit_status = 0;
    std::string stop_text;      // ended with SIGTERM once standard error holds it
    std::string out;            // exact standard output
    std::string err_has;        // a pattern standard error must hold (a regular expression)
    int err_lines = -1;         // the number of lines on standard error, -1: any
    int shown = -1;             // the last entry drawn, whose pixels end on top; -1: none
    std::string console;        // FAKE_VT: the console on the screen, or "" for none
    std::string console_report; // the line fake_vt writes at the end
    int snapshot = -1;          // the entry whose bytes the snapshot holds; -1: none is written
    bool runtime_dir = true;    // RUNTIME_DIRECTORY names a directory that is there
    std::string notified; // a pattern systemd's messages must match, one a line; "": none sent

    // clang-format off
    live_case &on(const char *screen_layout) { layout = screen_layout; return *this; }
    live_case &without_screen() { screen_present = false; return *this; }
    live_case &exits(int status) { exit_status = status; return *this; }
    live_case &runs_until(std::string err_text) { stop_text = std::move(err_text); return *this; }
    live_case &prints(std::string text) { out = std::move(text); return *this; }
    live_case &err_matches(std::string pattern) { err_has = std::move(pattern); return *this; }
    live_case &err_lines_are(int count) { err_lines = count; return *this; }
    live_case &shows(int entry) { shown = entry; return *this; }
    live_case &on_console(std::string vts, std::string report) { console = std::move(vts); console_report = std::move(report); return *this; }
    live_case &snapshot_of(int entry) { snapshot = entry; return *this; }
    live_case &without_runtime_dir() { runtime_dir = false; return *this; }
    // Told with a watchdog of 4 us: a message due at every turn of the loop.
    live_case &notifies(std::string pattern) { notified = std::move(pattern); return *this; }
    // clang-format on
};

live_case live(std::string name, std::vector<replay_entry> entries)
{
    live_case c;
    c.name = std::move(name);
    c.entries = std::move(entries);
    return c;
}

std::ostream &operator<<(std::ostream &out, const live_case &c)
{
    return out << c.name;
}

class LiveView : public ::testing::TestWithParam<live_case> {
  protected:
    // The entry as the replay camera takes it: an event, or the path of a frame made here.
    std::string make_entry(const replay_entry &e, int index)
    {
        if (e.event)
            return e.event;
        std::string path = tmp.path("frame" + std::to_string(index) + ".jpg");
        if (e.width == 0) {
            write_file(path, {});
            return path;
        }
        synth_options opt;
        opt.width = e.width;
        opt.height = e.height;
        opt.components = e.components;
        opt.frame = index;
        write_file(path, spoil_jpeg(synth_jpeg(opt), e.fault, 100 + index));
        return path;
    }

    scratch_dir tmp;
    std::string screen = tmp.path("screen");
};

TEST_P(LiveView, RunsToTheEndWithTheRightPicture)
{
    const live_case &c = GetParam();
    std::vector<std::string> entries;
    std::vector<drawn_picture> drawn;
    std::vector<const char *> later; // the layouts the screen changes to
    const char *layout = c.layout;
    rgb_image held; // the frame the camera holds, drawn again after a screen change
    bool held_drawn = false;
    for (std::size_t i = 0; i < c.entries.size(); i++) {
        const replay_entry &e = c.entries[i];
        std::string entry = make_entry(e, int(i));
        entries.insert(entries.end(), std::size_t(e.repeats), entry);
        if (const char *next = layout_after(e))
            later.push_back(layout = next);
        else if (e.event)
            continue;
        else if ((held_drawn = e.drawn() && long(i) <= c.shown))
            held = djpeg_decode(entry);
        if (held_drawn && long(i) <= c.shown && find_layout_pixels(layout))
            drawn.push_back({held, layout});
    }
    std::string screen_file = c.screen_present ? screen : tmp.path("no-such-screen");
    // fake_vt in front of the screen: it answers the console's calls on it.
    std::string preload = c.console.empty() ? VFB_LIBRARY : FAKE_VT_LIBRARY ":" VFB_LIBRARY;
    std::vector<std::string> env = {"LD_PRELOAD=" + preload, "LD_LIBRARY_PATH=" REPLAY_CAMERA_DIR,
                                    "VFB_FILE=" + screen_file};
    if (!entries.empty())
        env.push_back("REPLAY_FRAMES=" + joined(entries));
    std::string console_report = tmp.path("console");
    if (!c.console.empty())
        env.insert(env.end(), {"FAKE_VT=" + c.console, "FAKE_VT_REPORT=" + console_report});
    std::string runtime_dir = tmp.path("run"), snapshot = runtime_dir + "/snapshot.jpg";
    if (c.runtime_dir)
        std::filesystem::create_directory(runtime_dir);
    env.push_back("RUNTIME_DIRECTORY=" + runtime_dir + ":" + tmp.path("other"));
    std::unique_ptr<notify_listener> listener;
    if (!c.notified.empty()) {
        listener = std::make_unique<notify_listener>(tmp.path("notify"));
        env.insert(env.end(), {"NOTIFY_SOCKET=" + listener->name, "WATCHDOG_USEC=4"});
    }

    run_result r = run_camera_lcd(env, screen, c.layout, c.stop_text, later);
    bool stopped = !c.stop_text.empty();
    EXPECT_EQ(r.signal, stopped ? SIGTERM : 0) << r.err;
    EXPECT_EQ(r.exit_status, stopped ? -1 : c.exit_status) << r.err;
    if (stopped) {
        EXPECT_NE(r.err.find(c.stop_text), std::string::npos) << "stopped by the time limit";
    }
    EXPECT_EQ(r.out, c.out);
    EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err_has))) << r.err;
    if (c.err_lines >= 0) {
        EXPECT_EQ(long(lines_of(r.err).size()), c.err_lines) << r.err;
    }
    if (!c.console.empty()) {
        EXPECT_EQ(file_lines(console_report), std::vector<std::string>{c.console_report});
    }
    // Every pixel: from the last frame that covers it, else as it was before.
    EXPECT_EQ(screen_differences(screen, c.layout, drawn, later), "");
    // The snapshot whole, and nothing half written beside it.
    EXPECT_EQ(std::filesystem::exists(snapshot), c.snapshot >= 0);
    if (c.snapshot >= 0) {
        EXPECT_EQ(read_bytes(snapshot),
                  read_bytes(make_entry(c.entries[std::size_t(c.snapshot)], c.snapshot)));
    }
    EXPECT_FALSE(std::filesystem::exists(snapshot + ".tmp"));
    if (listener) {
        std::string messages;
        for (const notify_listener::message &m : listener->messages())
            messages += m.text + "\n";
        EXPECT_TRUE(std::regex_search(messages, std::regex(c.notified))) << messages;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Runs, LiveView,
    ::testing::Values(
        live("camera_frame_keeps_columns_640_to_799", {colour(640, 480)}).shows(0),
        live("frames_in_turn_smaller_last", {colour(640, 480), colour(800, 480), colour(320, 240)}).shows(2),
        live("frame_larger_than_screen_is_clipped", {colour(1280, 720)}).shows(0),
        live("greyscale_frame", {grey(320, 240)}).shows(0),
        live("empty_frame_not_drawn_view_goes_on", {colour(640, 480), EMPTY_FRAME, colour(320, 240)})
            .err_matches("^camera_lcd: frame not decoded: Empty input file\n$").shows(2),
        // 300 frames that warn and 300 undecodable ones leave a line each;
        // SIGUSR1 asks for the status line, and the last frame comes again.
        // The replay camera tells no capture times: no latency in the line.
        live("each_message_told_once_and_status_line_on_request",
             {colour(640, 480).spoiled(frame_fault::extraneous_bytes).repeated(300),
              colour(320, 240).spoiled(frame_fault::precision_12).repeated(300), colour(160, 120),
              STATUS_ASKED})
            .err_matches("^camera_lcd: frame with a warning: Corrupt JPEG data: [0-9]+ extraneous bytes "
                         "before marker 0xd9\n"
                         "camera_lcd: frame not decoded: Unsupported JPEG data precision 12\n"
                         "camera_lcd: 302 frames drawn since start, 302 in the last [0-9.]+ s "
                         "\\([0-9.]+ a second\\); 300 undecodable, 300 with warnings; decode and "
                         "draw [0-9.]+ ms median, [0-9.]+ ms at most\n$")
            .err_lines_are(3).shows(2),
        live("undecodable_frames_in_a_row_told_once",
             {colour(64, 48).spoiled(frame_fault::noise).repeated(300),
              colour(64, 48).spoiled(frame_fault::zero_height).repeated(300)})
            .err_matches("frame not decoded: JPEG datastream contains no image\n.*"
                         "frame not decoded: Empty JPEG image \\(DNL not supported\\)\n$")
            .err_lines_are(3),
        live("timeouts_reported_once_then_frames", {TIMEOUT, TIMEOUT, TIMEOUT})
            .err_matches(WAITING),
        live("timeouts_reported_once_after_each_frame",
             {TIMEOUT, TIMEOUT, colour(64, 48), TIMEOUT, TIMEOUT, TIMEOUT, colour(64, 48)})
            .err_matches("^" + WAITING + "\n" + WAITING + "\n$").shows(6),
        live("camera_gone", {colour(160, 120), GONE})
            .runs_until(STOPPED).shows(0),
        // The snapshot is the last frame drawn, not the undecodable one after it.
        live("snapshot_of_the_last_frame_drawn",
             {colour(640, 480), colour(320, 240), colour(64, 48).spoiled(frame_fault::noise), SNAPSHOT_ASKED})
            .err_matches("\ncamera_lcd: snapshot of the last frame drawn in /.*/run/snapshot.jpg, [0-9]+ bytes\n$")
            .err_lines_are(3).shows(1).snapshot_of(1),
        live("snapshot_before_any_frame_drawn", {EMPTY_FRAME, SNAPSHOT_ASKED})
            .err_matches("\ncamera_lcd: no frame drawn yet, no snapshot\n$"),
        live("snapshot_not_writable_view_goes_on", {colour(320, 240), SNAPSHOT_ASKED, colour(160, 120)})
            .without_runtime_dir()
            .err_matches("^Unable to write the snapshot /.*/run/snapshot.jpg \\(open\\): No such file or directory \\(2\\)\n$")
            .shows(2),
        // Ready once streaming, then alive and how it is at each turn.
        live("systemd_told_ready_alive_and_how_the_view_is",
             {colour(320, 240), TIMEOUT, TIMEOUT, colour(160, 120)})
            .notifies("^READY=1\n(WATCHDOG=1\nSTATUS=[0-9.]+ frames drawn a second, 0 undecodable\n)+"
                      "(WATCHDOG=1\nSTATUS=waiting for /dev/video7\n)+"
                      "WATCHDOG=1\nSTATUS=[0-9.]+ frames drawn a second, 0 undecodable\n")
            .err_matches(WAITING).shows(3),
        // Each change of the screen told once, the picture right in each mode: on
        // more memory, panned (the stand-in refuses to pan back), back again.
        live("screen_changes_followed",
             {colour(640, 480), screen_becomes("!screen=xrgb8888-1024x600"), colour(1024, 600),
              screen_becomes("!screen=rgb565-panned-xy"), colour(320, 240),
              screen_becomes("!screen=xrgb8888")})
            .err_matches("^The screen /dev/fb0 changed to 1024x600, 32 bits per pixel, lines of 4096 bytes\n"
                         "The screen /dev/fb0 changed to 800x480, 16 bits per pixel, lines of 2048 bytes, "
                         "panned to \\(224, 480\\)\n"
                         "The screen /dev/fb0 changed to 800x480, 32 bits per pixel, lines of 3200 bytes\n$")
            .shows(5),
        live("screen_mode_refused_nothing_drawn_until_the_next",
             {colour(640, 480), screen_becomes("!screen=pseudocolor8"), colour(320, 240),
              screen_becomes("!screen=xrgb8888-640x480")})
            .err_matches("^Unable to draw on /dev/fb0: palette screen of 8 bits per pixel\n"
                         "The screen /dev/fb0 changed to 640x480, 32 bits per pixel, lines of 2560 bytes\n$")
            .shows(3),
        live("screen_gone_waited_for_and_back", {colour(640, 480), screen_becomes("!screen=gone,xrgb8888-1024x600"), colour(320, 240)})
            .err_matches("^camera_lcd: the screen /dev/fb0 went away, waiting for it\n"
                         "camera_lcd: the screen /dev/fb0 is back\n$").shows(2),
        // A mapping that fails is tried again, not taken for a screen drawn on.
        live("screen_back_but_not_mapped_waited_for_until_it_maps",
             {colour(640, 480), screen_becomes("!screen=gone,unmappable,xrgb8888-1024x600"), colour(320, 240)})
            .err_matches("^camera_lcd: the screen /dev/fb0 went away, waiting for it\n"
                         "Unable to map /dev/fb0 \\(mmap\\): Cannot allocate memory \\(12\\)\n"
                         "camera_lcd: the screen /dev/fb0 is back\n$").shows(2),
        live("screen_changed_but_not_mapped_mapped_before_the_next_frame",
             {colour(640, 480), screen_becomes("!screen=unmappable,xrgb8888-1024x600"), colour(1024, 600)})
            .err_matches("^Unable to map /dev/fb0 \\(mmap\\): Cannot allocate memory \\(12\\)\n"
                         "The screen /dev/fb0 changed to 1024x600, 32 bits per pixel, lines of 4096 bytes\n$")
            .shows(2),
        // A console that cannot be brought to the front is left as it was.
        live("console_not_brought_to_the_front_left_in_text_mode", {colour(320, 240), colour(160, 120)})
            .on_console("2:1:EPERM", "tty1 text, tty2 text; tty1 in front; 0 screen queries with a VT behind in graphics mode")
            .err_matches("^Unable to bring the console tty2 to the front \\(VT_ACTIVATE\\): Operation not permitted \\(1\\)\n$")
            .shows(1),
        live("no_camera", {}).exits(1).err_matches(NOT_STARTED),
        live("no_screen", {colour(160, 120)}).without_screen().exits(1).prints("open lcd error\n"),
        live("screen_memory_too_small_is_refused", {colour(160, 120)}).on("xrgb8888-short").exits(1)
            .err_matches("^Unable to map /dev/fb0: screen memory is 1228800 bytes, 1536000 needed\n$"),
        live("palette_screen_is_refused", {colour(160, 120)}).on("pseudocolor8").exits(1)
            .err_matches("^Unable to draw on /dev/fb0: palette screen of 8 bits per pixel\n$"),
        live("monochrome_screen_is_refused", {colour(160, 120)}).on("mono1").exits(1)
            .err_matches("^Unable to draw on /dev/fb0: monochrome screen of 1 bits per pixel\n$")),
    [](const ::testing::TestParamInfo<live_case> &info) { return info.param.name; });
// clang-format on

// On every screen the driver describes, a frame larger than the screen, then a smaller one.
std::vector<live_case> layout_cases()
{
    std::vector<live_case> cases;
    for (const layout_pixels &l : DRAWABLE_LAYOUTS)
        cases.push_back(
            live(layout_id(l.name), {colour(1280, 720), colour(320, 240)}).on(l.name).shows(1));
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Layouts, LiveView, ::testing::ValuesIn(layout_cases()),
                         [](const ::testing::TestParamInfo<live_case> &info) {
                             return info.param.name;
                         });

// The stand-in V4L2 device

// Frames are named in the entries: "@small" 320 x 240, "@mid" a different
// 640 x 360 picture, "@full" another one of 800 x 480, "@cut" the small one cut
// short, "@table_less" it without Huffman tables, "@garbled" it with bytes of
// its coded picture zeroed, "@bad_header" it with a segment length past its end.

struct device_case {
    const char *name;
    std::vector<std::string> entries; // fake_v4l2 entries; "@small" and so on name the frames
    const char *fail = "";            // FAKE_V4L2_FAIL, or ""
    int exit_status = 0;
    std::vector<std::string> err_has = {}; // one text for each line of standard error, in order
    std::string chosen = CHOSEN;           // the line that comes first where streaming started
    const char *drawn = ""; // the frame on top afterwards ("@small"...), or "" for none
    std::vector<std::string> report_has = {}; // lines fake_v4l2's report must hold
    bool corrupt_data = false;    // decoded differently by each SIMD implementation of libjpeg
    unsigned grant = 0;           // buffers fake_v4l2 grants whatever is asked, 0: as asked
    std::string err_pattern = {}; // a regular expression standard error must hold, or ""

    // clang-format off
    device_case &failing(const char *call_and_errno) { fail = call_and_errno; return *this; }
    device_case &exits(int status) { exit_status = status; return *this; }
    device_case &says(std::vector<std::string> lines) { err_has = std::move(lines); return *this; }
    device_case &chooses(std::string line) { chosen = std::move(line); return *this; }
    device_case &draws(const char *frame) { drawn = frame; return *this; }
    device_case &reports(std::string line) { report_has.push_back(std::move(line)); return *this; }
    device_case &on_corrupt_data() { corrupt_data = true; return *this; }
    device_case &granting(unsigned buffers) { grant = buffers; return *this; }
    device_case &err_matches(std::string pattern) { err_pattern = std::move(pattern); return *this; }
    // clang-format on
};

device_case device(const char *name, std::vector<std::string> entries)
{
    return {name, std::move(entries)};
}

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
        std::vector<std::string> frames;
        for (const std::string &e : c.entries)
            frames.push_back(resolve(e));
        std::vector<std::string> env = {"LD_PRELOAD=" VFB_LIBRARY ":" FAKE_V4L2_LIBRARY,
                                        "VFB_FILE=" + screen, "FAKE_V4L2_FRAMES=" + joined(frames),
                                        "FAKE_V4L2_REPORT=" + report_path};
        if (*c.fail)
            env.push_back(std::string("FAKE_V4L2_FAIL=") + c.fail);
        if (c.grant)
            env.push_back("FAKE_V4L2_GRANT=" + std::to_string(c.grant));
        return run_camera_lcd(env, screen, SCREEN_LAYOUT);
    }

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
    std::vector<std::string> err = lines_of(r.err), err_has = c.err_has;
    if (c.exit_status == 0) // a camera that starts says once what it streams at
        err_has.insert(err_has.begin(), c.chosen);
    ASSERT_EQ(err.size(), err_has.size()) << r.err;
    for (std::size_t i = 0; i < err.size(); i++)
        EXPECT_NE(err[i].find(err_has[i]), std::string::npos) << "line " << i << ":\n" << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err_pattern))) << r.err;

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
    // Under the emulator the target's libjpeg decodes and the host's djpeg is
    // the reference: on corrupt data they may differ in a hundredth of the picture.
    std::size_t allowed = c.corrupt_data && runs_under_emulator() ? drawn.rgb.size() / 100 : 0;
    EXPECT_EQ(screen_differences(screen, SCREEN_LAYOUT, {{drawn, SCREEN_LAYOUT}}, {}, allowed), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, CameraDevice,
    ::testing::Values(
        device("frame_from_the_device", {"@small"}).draws("@small"),
        device("flagged_empty_and_headless_buffers_skipped", {"@small", "error=@full", "empty=@full", "nosoi=@full"})
            .draws("@small").reports("status delivered=1 skipped=3 dropped=0 started=1"),
        device("frames_cut_short_skipped", {"@small", "@cut", "cut=@full"})
            .draws("@small").reports("status delivered=1 skipped=2 dropped=0 started=1"),
        device("frame_padded_with_zeros_drawn", {"@small", "padded=@full"}).draws("@full"),
        // Every buffer given back empty and flagged, the driver stopped:
        // streaming starts again, once until a frame comes, then the camera
        // is set up anew.
        device("streaming_stopped_by_a_failed_transfer_started_again", {"@small", "!cancel", "@mid"})
            .draws("@mid").reports("status delivered=2 skipped=4 dropped=0 started=2"),
        device("streaming_stopped_again_before_a_frame_camera_set_up_anew",
               {"@small", "!cancel", "!cancel", "@mid"})
            .says({"Unable to restart streaming (every buffer came back flagged as an error): "
                   "Input/output error (5)", STOPPED, BACK})
            .draws("@mid").reports("status delivered=2 skipped=8 dropped=0 started=3"),
        // Only some buffers given back: the wait that times out after them
        // starts streaming again.
        device("streaming_stopped_with_buffers_held_started_again_after_the_wait",
               {"@small", "!cancel=3", "@mid"})
            .says({WAITING}).draws("@mid").reports("status delivered=2 skipped=3 dropped=0 started=2"),
        device("frame_interval_refused_camera_keeps_its_own", {"@small"}).failing("S_PARM:EINVAL")
            .chooses("Camera /dev/video7: MJPEG 640x480 at 15 frames a second").draws("@small"),
        device("newest_of_frames_waiting_drawn_older_dropped", {"@full+@mid+@small"})
            .draws("@small").reports("status delivered=1 skipped=0 dropped=2 started=1"),
        device("newest_complete_of_frames_waiting_drawn", {"@full+@small+cut=@mid"})
            .draws("@small").reports("status delivered=1 skipped=1 dropped=1 started=1"),
        device("frame_without_huffman_tables_drawn", {"@table_less"}).draws("@table_less"),
        device("garbled_frame_drawn_with_warning", {"@garbled"})
            .says({"Corrupt JPEG data"}).draws("@garbled").on_corrupt_data(),
        device("frame_with_bad_header_not_drawn_view_goes_on", {"@small", "@bad_header", "@mid"})
            .says({"camera_lcd: frame with a warning: Premature end of JPEG file",
                   "camera_lcd: frame not decoded: JPEG datastream contains no image"}).draws("@mid"),
        device("status_line_with_the_camera_librarys_counts", {"@small", "!usr1", "@mid"})
            .says({"; camera: 2 delivered, 0 skipped, 0 dropped, 1 streams started"}).draws("@mid"),
        // Frames captured 1, 3 and 2 s before the device gives them: 2 s and a
        // little (each frame's decode) median, 3 s and a little at most. One
        // captured in the future, one 20 s back and one on another clock are
        // not counted: any of them would change the figures.
        device("status_line_capture_to_screen_of_known_capture_times",
               {"aged1000=@small", "aged-5000=@small", "aged20000=@small", "copied=@small",
                "aged3000=@small", "!usr1", "aged2000=@mid"})
            .says({"camera_lcd: 6 frames drawn"}).draws("@mid")
            .err_matches("; capture to screen 2[0-9]{3}\\.[0-9]{2} ms median, "
                         "3[0-9]{3}\\.[0-9]{2} ms at most; camera:"),
        device("timeout_reported_then_frames", {"!timeout", "!timeout", "@small"})
            .says({WAITING}).draws("@small"),
        // A silent camera while SIGUSR1 comes every 0.9 s: the wait keeps its
        // end, so that the camera is told silent and the status line comes.
        device("signals_do_not_prolong_the_wait_for_a_silent_camera",
               {"!usr1=900", "!usr1=900", "!usr1=900", "@small"})
            .says({WAITING, "camera_lcd: 0 frames drawn since start"}).draws("@small"),
        device("unplugged_and_back_three_times",
               {"@small", "!unplug=1", "@mid", "!unplug=0", "@small", "!unplug=0", "@full"})
            .says({UNPLUGGED, STOPPED, BACK, UNPLUGGED, STOPPED, BACK, UNPLUGGED, STOPPED, BACK})
            .draws("@full").reports("status delivered=4 skipped=0 dropped=0 started=4"),
        device("more_buffers_granted_than_the_library_asks_all_queued",
               {"@small", "!unplug=0", "@mid", "!unplug=0", "@full"})
            .granting(40).says({UNPLUGGED, STOPPED, BACK, UNPLUGGED, STOPPED, BACK})
            .draws("@full").reports("status delivered=3 skipped=0 dropped=0 started=3"),
        device("dequeue_input_output_error_then_back", {"@small", "!eio", "@mid"})
            .says({DEQUEUE_EIO, STOPPED, BACK}).draws("@mid"),
        device("poll_error_with_nothing_to_dequeue_then_back", {"@small", "!pollerr", "@mid"})
            .says({DEQUEUE_EIO, STOPPED, BACK}).draws("@mid"),
        device("back_but_refusing_buffers_reported_once", {"@small", "!unplug=0", "@mid"})
            .failing("REQBUFS:ENOMEM:2-3")
            .says({UNPLUGGED, STOPPED,
                   "Unable to request buffers (VIDIOC_REQBUFS): Cannot allocate memory (12)", BACK})
            .draws("@mid").reports("status delivered=2 skipped=0 dropped=0 started=2"),
        device("no_camera", {"@small"}).failing("open:ENOENT").exits(1)
            .says({"Unable to open /dev/video7: No such file or directory (2)", NOT_STARTED}),
        device("not_a_video_device", {"@small"}).failing("QUERYCAP:ENOTTY").exits(1)
            .says({"Unable to query capabilities (VIDIOC_QUERYCAP): Inappropriate ioctl for device (25)",
                   NOT_STARTED}),
        device("format_refused", {"@small"}).failing("S_FMT:EBUSY").exits(1)
            .says({"Unable to set the MJPEG format (VIDIOC_S_FMT): Device or resource busy (16)",
                   NOT_STARTED}),
        device("no_buffers", {"@small"}).failing("REQBUFS:ENOMEM").exits(1)
            .says({"Unable to request buffers (VIDIOC_REQBUFS): Cannot allocate memory (12)", NOT_STARTED}),
        device("buffer_not_mappable", {"@small"}).failing("mmap:EINVAL").exits(1)
            .says({"Unable to map a buffer (mmap): Invalid argument (22)", NOT_STARTED}),
        device("buffer_not_queued", {"@small"}).failing("QBUF:EIO").exits(1)
            .says({"Unable to queue a buffer (VIDIOC_QBUF): Input/output error (5)", NOT_STARTED}),
        device("streaming_refused", {"@small"}).failing("STREAMON:EIO").exits(1)
            .says({"Unable to start streaming (VIDIOC_STREAMON): Input/output error (5)", NOT_STARTED})),
    [](const ::testing::TestParamInfo<device_case> &info) { return std::string(info.param.name); });
// clang-format on

} // namespace
