// The jpeg_fb program on the virtual framebuffer: every byte of the screen
// against djpeg's decode put into the screen's layout, and every way it refuses.
// The lines the display shows (line_length x yres from the pan's yoffset) are
// cleared, so padding bytes at the end of lines must read 0.
#include "synth_jpeg.h"
#include "test_support.h"
#include "vfb_layouts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

constexpr unsigned char BEFORE = 0x5A; // what the screen showed before the program ran
const std::string USAGE = std::string("Usage: ") + JPEG_FB_PROGRAM + " <jpeg image>\n";

struct image_case {
    const char *name;
    int width, height, components;
    int percent_kept; // of the file; less than 100 cuts it short
    const char *err;  // exact standard error
};

std::ostream &operator<<(std::ostream &out, const image_case &i)
{
    return out << i.name;
}

std::vector<std::string> viewer_env(const std::string &screen, const char *layout,
                                    const std::string &preload = VFB_LIBRARY)
{
    return {"LD_PRELOAD=" + preload, "VFB_FILE=" + screen, std::string("VFB_LAYOUT=") + layout,
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

std::string make_jpeg(const scratch_dir &tmp, int width, int height, int components, int kept)
{
    synth_options opt;
    opt.width = width, opt.height = height, opt.components = components;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    jpeg.resize(jpeg.size() * kept / 100);
    std::string path = tmp.path("image.jpg");
    write_file(path, jpeg);
    return path;
}

// The screen as it must be: cleared lines, the decoded image over their top-left corner.
std::vector<unsigned char> expected_screen(const vfb_layout &s, const layout_pixels &l,
                                           const rgb_image &im)
{
    std::vector<unsigned char> screen(s.smem_len, BEFORE);
    std::fill_n(screen.begin() + long(s.line_length) * s.yoffset,
                std::size_t(s.line_length) * s.yres, 0);
    put_image(screen.data(), s, l, im, 0, 0);
    return screen;
}

class Shows : public ::testing::TestWithParam<std::tuple<layout_pixels, image_case>> {};

TEST_P(Shows, EveryByteOfTheScreen)
{
    const auto &[layout, image] = GetParam();
    const vfb_layout *s = vfb_layout_find(layout.name);
    ASSERT_NE(s, nullptr);
    scratch_dir tmp;
    std::string jpeg =
        make_jpeg(tmp, image.width, image.height, image.components, image.percent_kept);
    std::string screen = tmp.path("screen");
    write_file(screen, std::vector<unsigned char>(s->smem_len, BEFORE));

    run_result r = run_program({JPEG_FB_PROGRAM, jpeg}, viewer_env(screen, layout.name));
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, image.err);

    std::vector<unsigned char> expected = expected_screen(*s, layout, djpeg_decode(jpeg));
    EXPECT_EQ(describe_differences(read_bytes(screen), expected, s->line_length), "");
}

// clang-format off
const image_case IMAGES[] = {
    // name                                 width height components percent_kept err
    {"larger_than_the_screen",              1024, 768,   3,         100,         ""},
    {"smaller",                             320,  240,   3,         100,         ""},
    {"exactly_the_screen",                  800,  480,   3,         100,         ""},
    {"greyscale",                           640,  360,   1,         100,         ""},
    {"cut_short_is_shown_with_the_warning", 800,  480,   3,         60,          "Premature end of JPEG file\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Layouts, Shows,
                         ::testing::Combine(::testing::ValuesIn(DRAWABLE_LAYOUTS),
                                            ::testing::ValuesIn(IMAGES)),
                         [](const auto &info) {
                             return layout_id(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param).name;
                         });

// Inputs the failure rows name.
enum class input { photo, cut, missing, unreadable, directory, fifo, empty, text, cmyk };

struct failure_case {
    const char *name;
    std::vector<input> args;
    const char *layout = "xrgb8888";
    bool screen_present = true;
    std::string out = "", err = ""; // exact

    // clang-format off
    failure_case &on(const char *screen_layout) { layout = screen_layout; return *this; }
    failure_case &without_screen() { screen_present = false; return *this; }
    failure_case &prints(std::string text) { out = std::move(text); return *this; }
    failure_case &says(std::string line) { err = std::move(line); return *this; }
    // clang-format on
};

failure_case refused(const char *name, std::vector<input> args)
{
    return {name, std::move(args)};
}

class Refuses : public ::testing::TestWithParam<failure_case> {
  protected:
    std::string make(input what)
    {
        std::string path = tmp.path("input" + std::to_string(int(what)));
        switch (what) {
        case input::photo: return make_jpeg(tmp, 320, 240, 3, 100);
        case input::cut: return make_jpeg(tmp, 320, 240, 3, 60);
        case input::cmyk: return make_jpeg(tmp, 320, 240, 4, 100);
        case input::missing: return path;
        case input::directory:
            mkdir(path.c_str(), 0755);
            write_file(path + "/inside", {1}); // a directory of size 0 would read as empty
            return path;
        case input::fifo: mkfifo(path.c_str(), 0600); return path; // no writer: never data
        case input::empty: write_file(path, {}); return path;
        case input::text: write_file(path, {'h', 'e', 'l', 'l', 'o'}); return path;
        case input::unreadable:
            write_file(path, {0xFF, 0xD8});
            chmod(path.c_str(), 0);
            return path;
        }
        return path;
    }

    scratch_dir tmp;
};

std::ostream &operator<<(std::ostream &out, const failure_case &c)
{
    return out << c.name;
}

// The build tree may be closed to other users: a run as another user takes copies.
std::string copy_for_everyone(const std::string &from, const std::string &to)
{
    write_file(to, read_bytes(from));
    chmod(to.c_str(), 0755);
    return to;
}

TEST_P(Refuses, WithOneLineAndStatus1ScreenUntouched)
{
    const failure_case &c = GetParam();
    std::vector<std::string> argv = {JPEG_FB_PROGRAM};
    std::string preload = VFB_LIBRARY;
    bool as_nobody = false;
    for (input a : c.args) {
        argv.push_back(make(a));
        as_nobody |= a == input::unreadable && geteuid() == 0;
    }
    if (as_nobody) { // root reads any file: drop to an unprivileged user for this run
        if (run_program({"sh", "-c", "command -v setpriv"}, {}).exit_status != 0)
            GTEST_SKIP() << "running as root without setpriv: no file is unreadable";
        chmod(tmp.dir.c_str(), 0755);
        argv[0] = copy_for_everyone(JPEG_FB_PROGRAM, tmp.path("jpeg_fb"));
        preload = copy_for_everyone(VFB_LIBRARY, tmp.path("libvfb.so"));
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    const vfb_layout *s = vfb_layout_find(c.layout);
    std::string screen = tmp.path("screen");
    std::vector<unsigned char> before(s->smem_len, BEFORE);
    if (c.screen_present)
        write_file(screen, before);

    run_result r = run_program(argv, viewer_env(screen, c.layout, preload));
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.screen_present) {
        EXPECT_TRUE(read_bytes(screen) == before) << "the screen was written";
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, Refuses,
    ::testing::Values(
        refused("no_argument", {}).prints(USAGE),
        refused("two_arguments", {input::photo, input::photo}).prints(USAGE),
        refused("missing_file", {input::missing}).says("[88]: stat failed: No such file or directory\n"),
        refused("unreadable_file", {input::unreadable}).says("[101]: open failed: Permission denied\n"),
        refused("directory", {input::directory}).says("read jpeg-file failed: Is a directory\n"),
        refused("fifo", {input::fifo}).says("Empty input file\n"), // its size is 0: nothing to wait for
        refused("empty_file", {input::empty}).says("Empty input file\n"),
        refused("not_a_jpeg", {input::text}).says("Not a JPEG file: starts with 0x68 0x65\n"),
        refused("cmyk", {input::cmyk}).says("[150]: colour space not supported: 4 components\n"),
        // decoding comes first: the warning of the cut image precedes the failed open
        refused("no_screen_after_decoding", {input::cut}).without_screen()
            .says("Premature end of JPEG file\n[101]: open failed: No such file or directory\n"),
        refused("palette_screen", {input::photo}).on("pseudocolor8")
            .says("[190]: screen format not supported: 8 bits per pixel, visual 3\n"),
        refused("one_bit_screen", {input::photo}).on("mono1")
            .says("[190]: screen format not supported: 1 bits per pixel, visual 0\n"),
        refused("lines_beyond_screen_memory", {input::photo}).on("xrgb8888-short")
            .says("[195]: screen size not supported: 800x480, 3200 bytes per line, 1228800 "
                  "bytes of screen memory\n")),
    [](const ::testing::TestParamInfo<failure_case> &info) { return std::string(info.param.name); });
// clang-format on

// A sysfs file claims 4096 bytes and ends after a few: the reader must stop, not spin.
TEST(Reading, StopsAtAnEarlyEndOfFile)
{
    const char *file = "/sys/kernel/uevent_seqnum";
    struct stat st;
    if (stat(file, &st) != 0 || st.st_size <= long(read_bytes(file).size()))
        GTEST_SKIP() << file << " does not end before its size";
    run_result r = run_program({JPEG_FB_PROGRAM, file}, {});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err.rfind("[120]: read failed: end of file after ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

// Sets the size in the frame header (SOF) of a baseline JPEG.
void set_frame_size(std::vector<unsigned char> &jpeg, int width, int height)
{
    std::size_t at = 2;
    while (at + 9 < jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xC0)
        at += 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
    ASSERT_LT(at + 9, jpeg.size());
    ASSERT_EQ(jpeg[at + 1], 0xC0);
    jpeg[at + 5] = (unsigned char)(height >> 8), jpeg[at + 6] = (unsigned char)height;
    jpeg[at + 7] = (unsigned char)(width >> 8), jpeg[at + 8] = (unsigned char)width;
}

// An image too big for the memory at hand is refused before anything is drawn.
TEST(Allocation, FailureIsReportedNotDrawnThrough)
{
    if (runs_under_emulator())
        GTEST_SKIP() << "user-mode QEMU needs more address space than the limit leaves";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
    scratch_dir tmp;
    synth_options opt;
    opt.width = 64, opt.height = 64;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    set_frame_size(jpeg, 40000, 40000); // 4.8 GB decoded
    std::string path = tmp.path("huge.jpg"), screen = tmp.path("screen");
    write_file(path, jpeg);
    write_file(screen, std::vector<unsigned char>(1536000, BEFORE));
    run_result r =
        run_program({"sh", "-c", "ulimit -v 1000000 && exec \"$0\" \"$1\"", JPEG_FB_PROGRAM, path},
                    {"LD_PRELOAD=" VFB_LIBRARY, "VFB_FILE=" + screen});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "[165]: calloc failed: Cannot allocate memory\n");
    EXPECT_TRUE(read_bytes(screen) == std::vector<unsigned char>(1536000, BEFORE));
}

} // namespace
