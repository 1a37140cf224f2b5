// JPEG drawing on a guarded in-memory screen, compared pixel by pixel with
// djpeg's decode of the same file, and the file helper it uses.
#include "common.h"
#include "guarded_screen.h"
#include "lcd.h"
#include "synth_jpeg.h"
#include "test_support.h"

#include <climits>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <jerror.h>
#include <jpeglib.h>

namespace {

class LcdScreen : public GuardedScreen {
  protected:
    std::string write_jpeg(const synth_options &opt, const std::string &name = "image.jpg")
    {
        std::string path = tmp.path(name);
        write_file(path, synth_jpeg(opt));
        return path;
    }
};

struct placement {
    const char *name;
    int width, height; // of the image, drawn with its top-left corner at (x, y)
    int x = 0, y = 0;
    int components = 3;
    bool chroma_422 = true; // as cameras send; else 4:2:0
    bool progressive = false;

    // clang-format off
    placement &at(int to_x, int to_y) { x = to_x, y = to_y; return *this; }
    placement &in_420() { chroma_422 = false; return *this; }
    placement &in_grey() { components = 1, chroma_422 = false; return *this; }
    placement &made_progressive() { progressive = true; return *this; }
    // clang-format on
};

placement image(const char *name, int width, int height)
{
    return {name, width, height};
}

std::ostream &operator<<(std::ostream &out, const placement &c)
{
    return out << c.name;
}

class JpegPlacement : public LcdScreen, public ::testing::WithParamInterface<placement> {};

TEST_P(JpegPlacement, DrawsExactlyTheVisiblePartOfTheDecodedImage)
{
    const placement &p = GetParam();
    synth_options opt;
    opt.width = p.width;
    opt.height = p.height;
    opt.components = p.components;
    opt.chroma_422 = p.chroma_422;
    opt.progressive = p.progressive;
    std::string path = write_jpeg(opt);
    std::vector<unsigned char> jpeg = read_bytes(path);
    guarded_buffer data(jpeg); // a read past the given bytes faults
    rgb_image decoded = djpeg_decode(path);

    for (const layout_pixels &l : DRAWABLE_LAYOUTS) {
        SCOPED_TRACE(l.name);
        ASSERT_NO_FATAL_FAILURE(use_layout(l.name));
        EXPECT_EQ(show_video_data(p.x, p.y, data.data, int(data.size)), 0);
        expect_drawn(decoded, p.x, p.y);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Positions, JpegPlacement,
    ::testing::Values(
        image("camera_frame_at_origin", 640, 480),
        image("inside_at_100_50", 200, 100).at(100, 50).in_420(),
        image("larger_than_screen", 1024, 600),
        image("camera_720p_off_left_and_top", 1280, 720).at(-301, -157),
        image("off_left_by_whole_blocks", 1280, 200).at(-320, 10),
        image("tall_4_2_0_off_top", 333, 900).at(3, -301).in_420(),
        image("progressive_off_all_sides", 1100, 700).at(-150, -90).in_420().made_progressive(),
        image("one_column_showing", 120, 90).at(-119, 5),
        image("off_left_and_top", 120, 90).at(-37, -21),
        image("off_right_and_bottom", 120, 90).at(733, 421).in_420(),
        image("entirely_off_left", 50, 40).at(-50, 10),
        image("entirely_below", 50, 40).at(10, 480),
        image("one_pixel", 1, 1).at(799, 479),
        image("odd_width_4_2_0", 333, 77).at(5, 7).in_420(),
        image("greyscale_in_grey", 160, 120).at(20, 30).in_grey(),
        image("greyscale_wider_than_screen", 900, 40).at(-10, 440).in_grey()),
    [](const ::testing::TestParamInfo<placement> &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(LcdScreen, TruncatedDataIsDrawnAsDjpegDecodesIt)
{
    synth_options opt;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    jpeg.resize(jpeg.size() / 2);
    std::string path = tmp.path("half.jpg");
    write_file(path, jpeg);
    guarded_buffer data(jpeg);

    testing::internal::CaptureStderr();
    EXPECT_EQ(show_video_data(0, 0, data.data, int(data.size)), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Premature end of JPEG file\n");
    expect_drawn(djpeg_decode(path), 0, 0);
    EXPECT_FALSE(g_jpeg_report.failed);
    EXPECT_GE(g_jpeg_report.warnings, 1);
    ASSERT_GE(g_jpeg_report.count, 1);
    EXPECT_EQ(g_jpeg_report.messages[0].code, JWRN_JPEG_EOF);
}

constexpr int WHOLE = INT_MAX; // the frame's whole length

struct undecodable_case {
    const char *name;
    const char *message;                   // libjpeg's, or ours
    frame_fault fault = frame_fault::none; // done to a 64 x 48 image
    int components = 3;
    int length = WHOLE; // the length handed over

    // clang-format off
    undecodable_case &spoiled(frame_fault how) { fault = how; return *this; }
    undecodable_case &in_cmyk() { components = 4; return *this; }
    undecodable_case &handed_over(int bytes) { length = bytes; return *this; }
    // clang-format on
};

undecodable_case frame(const char *name, const char *message)
{
    return {name, message};
}

std::ostream &operator<<(std::ostream &out, const undecodable_case &c)
{
    return out << c.name;
}

class UndecodableData : public LcdScreen, public ::testing::WithParamInterface<undecodable_case> {};

// The call returns instead of ending the process, with libjpeg's message
// printed as its standard error manager prints it, or kept for the caller.
TEST_P(UndecodableData, ReturnsMinusOneWithTheMessageScreenUntouched)
{
    const undecodable_case &c = GetParam();
    synth_options opt;
    opt.width = 64;
    opt.height = 48;
    opt.components = c.components;
    std::vector<unsigned char> jpeg = spoil_jpeg(synth_jpeg(opt), c.fault, 500);
    guarded_buffer data(jpeg);
    std::string line = std::string(c.message) + "\n";
    for (bool print : {true, false}) {
        g_jpeg_print_messages = print;
        testing::internal::CaptureStderr();
        EXPECT_EQ(show_video_data(0, 0, data.data, c.length == WHOLE ? int(data.size) : c.length),
                  -1);
        std::string err = testing::internal::GetCapturedStderr();
        if (print) // noise makes libjpeg warn before its error
            EXPECT_EQ(err.substr(err.size() > line.size() ? err.size() - line.size() : 0), line);
        else
            EXPECT_EQ(err, "");
        EXPECT_TRUE(g_jpeg_report.failed);
        ASSERT_GE(g_jpeg_report.count, 1);
        EXPECT_STREQ(g_jpeg_report.messages[g_jpeg_report.count - 1].text, c.message);
    }
    g_jpeg_print_messages = true;
    expect_untouched();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Frames, UndecodableData,
    ::testing::Values(
        frame("empty", "Empty input file").handed_over(0),
        frame("negative_length", "Empty input file").handed_over(-5),
        frame("start_marker_only", "JPEG datastream contains no image").handed_over(3),
        frame("header_refused", "Empty JPEG image (DNL not supported)").spoiled(frame_fault::zero_height),
        frame("precision_12", "Unsupported JPEG data precision 12").spoiled(frame_fault::precision_12),
        frame("noise_between_markers", "JPEG datastream contains no image").spoiled(frame_fault::noise),
        frame("cmyk", "Unable to draw a JPEG image of 4 colour components").in_cmyk()),
    [](const ::testing::TestParamInfo<undecodable_case> &info) { return std::string(info.param.name); });
// clang-format on

struct jpg_file_case {
    const char *name;
    std::size_t padded_size; // 0: no file at all
    bool directory;
    int expected;
    bool prints_open_error;
};

std::ostream &operator<<(std::ostream &out, const jpg_file_case &c)
{
    return out << c.name;
}

class DrawJpgFile : public LcdScreen, public ::testing::WithParamInterface<jpg_file_case> {};

TEST_P(DrawJpgFile, ResultMessageAndPicture)
{
    const jpg_file_case &c = GetParam();
    std::string path = tmp.path(c.name);
    synth_options opt;
    opt.width = 40;
    opt.height = 30;
    opt.noise = 0;
    opt.quality = 50;
    if (c.directory) {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    } else if (c.padded_size) {
        std::vector<unsigned char> jpeg = synth_jpeg(opt);
        ASSERT_LE(jpeg.size(), c.padded_size);
        jpeg.resize(c.padded_size, 0); // bytes after the end-of-image marker are ignored
        write_file(path, jpeg);
    }

    rgb_image decoded = c.expected == 0 ? djpeg_decode(path) : rgb_image{};

    for (const layout_pixels &l : DRAWABLE_LAYOUTS) {
        SCOPED_TRACE(l.name);
        ASSERT_NO_FATAL_FAILURE(use_layout(l.name));
        testing::internal::CaptureStdout();
        EXPECT_EQ(lcd_draw_jpg(30, 20, path.c_str()), c.expected);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.prints_open_error ? "open " + path + " error\n" : "");
        expect_drawn(decoded, 30, 20);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Files, DrawJpgFile,
    ::testing::Values(
        //            name           padded_size directory result prints_open_error
        jpg_file_case{"missing",     0,          false,    -1,    true},
        jpg_file_case{"directory",   0,          true,     -1,    true},
        jpg_file_case{"short_2999",  2999,       false,    -1,    false},
        jpg_file_case{"valid_3000",  3000,       false,    0,     false},
        jpg_file_case{"valid_50000", 50000,      false,    0,     false}),
    [](const ::testing::TestParamInfo<jpg_file_case> &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(LcdScreen, DrawJpgWithoutPathReturnsMinusOneSilently)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(lcd_draw_jpg(0, 0, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

int draw_jpg_at_origin(const char *path)
{
    return lcd_draw_jpg(0, 0, path) == 0 ? 0 : 1;
}

// Nothing is written to an image file: one on a read-only file system, or
// without write permission, is drawn.
TEST_F(LcdScreen, DrawJpgOpensTheFileReadOnly)
{
    synth_options opt;
    std::string path = write_jpeg(opt);
    ASSERT_EQ(chmod(tmp.dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(exit_status_unprivileged(draw_jpg_at_origin, path.c_str()), 0);
}

TEST(FileSize, MissingEmptyAndSizedFiles)
{
    scratch_dir tmp;
    write_file(tmp.path("empty"), {});
    write_file(tmp.path("sized"), std::vector<unsigned char>(1234, 7));
    EXPECT_EQ(file_size_get(tmp.path("missing").c_str()), -1);
    EXPECT_EQ(file_size_get(tmp.path("empty").c_str()), 0);
    EXPECT_EQ(file_size_get(tmp.path("sized").c_str()), 1234);
}

} // namespace
