// JPEG drawing on a guarded in-memory screen, compared pixel by pixel with
// djpeg's decode of the same file, and the file helper it uses.
#include "common.h"
#include "guarded_screen.h"
#include "lcd.h"
#include "synth_jpeg.h"
#include "test_support.h"

#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>

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
    int width, height, components, x, y;
    bool chroma_422;
    bool progressive = false;
};

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
    guarded_buffer data(jpeg.size()); // a read past the given bytes faults
    std::copy(jpeg.begin(), jpeg.end(), data.data);
    rgb_image decoded = djpeg_decode(path);

    for (const layout_pixels &l : DRAWABLE_LAYOUTS) {
        SCOPED_TRACE(l.name);
        ASSERT_NO_FATAL_FAILURE(use_layout(l.name));
        EXPECT_EQ(show_video_data(p.x, p.y, data.data, int(data.size)), 0);
        expect_drawn(decoded, p.x, p.y);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, JpegPlacement,
    ::testing::Values(placement{"camera_frame_at_origin", 640, 480, 3, 0, 0, true},
                      placement{"inside_at_100_50", 200, 100, 3, 100, 50, false},
                      placement{"larger_than_screen", 1024, 600, 3, 0, 0, true},
                      placement{"camera_720p_off_left_and_top", 1280, 720, 3, -301, -157, true},
                      placement{"off_left_by_whole_blocks", 1280, 200, 3, -320, 10, true},
                      placement{"tall_4_2_0_off_top", 333, 900, 3, 3, -301, false},
                      placement{"progressive_off_all_sides", 1100, 700, 3, -150, -90, false, true},
                      placement{"one_column_showing", 120, 90, 3, -119, 5, true},
                      placement{"off_left_and_top", 120, 90, 3, -37, -21, true},
                      placement{"off_right_and_bottom", 120, 90, 3, 733, 421, false},
                      placement{"entirely_off_left", 50, 40, 3, -50, 10, true},
                      placement{"entirely_below", 50, 40, 3, 10, 480, true},
                      placement{"one_pixel", 1, 1, 3, 799, 479, true},
                      placement{"odd_width_4_2_0", 333, 77, 3, 5, 7, false},
                      placement{"greyscale_in_grey", 160, 120, 1, 20, 30, false},
                      placement{"greyscale_wider_than_screen", 900, 40, 1, -10, 440, false}),
    [](const ::testing::TestParamInfo<placement> &info) { return std::string(info.param.name); });

TEST_F(LcdScreen, TruncatedDataIsDrawnAsDjpegDecodesIt)
{
    synth_options opt;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    jpeg.resize(jpeg.size() / 2);
    std::string path = tmp.path("half.jpg");
    write_file(path, jpeg);
    guarded_buffer data(jpeg.size());
    std::copy(jpeg.begin(), jpeg.end(), data.data);

    testing::internal::CaptureStderr();
    EXPECT_EQ(show_video_data(0, 0, data.data, int(data.size)), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Premature end of JPEG file"),
              std::string::npos);
    expect_drawn(djpeg_decode(path), 0, 0);
}

TEST_F(LcdScreen, CmykImageIsNotDrawn)
{
    synth_options opt;
    opt.width = 64;
    opt.height = 48;
    opt.components = 4;
    std::vector<unsigned char> jpeg = synth_jpeg(opt);
    testing::internal::CaptureStderr();
    EXPECT_EQ(show_video_data(0, 0, jpeg.data(), int(jpeg.size())), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("4 colour components"),
              std::string::npos);
    for (std::size_t i = 0; i < LCD_BYTES / 4; i++)
        ASSERT_EQ(words()[i], UNTOUCHED);
}

using LcdScreenDeathTest = LcdScreen;

TEST_F(LcdScreenDeathTest, EmptyOrNegativeLengthEndsWithLibjpegsMessage)
{
    static const unsigned char data[] = {0xFF, 0xD8, 0xFF};
    EXPECT_EXIT(show_video_data(0, 0, data, 0), ::testing::ExitedWithCode(1), "Empty input file");
    EXPECT_EXIT(show_video_data(0, 0, data, -5), ::testing::ExitedWithCode(1), "Empty input file");
    EXPECT_EXIT(show_video_data(0, 0, data, 3), ::testing::ExitedWithCode(1), "contains no image");
}

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

INSTANTIATE_TEST_SUITE_P(Files, DrawJpgFile,
                         ::testing::Values(jpg_file_case{"missing", 0, false, -1, true},
                                           jpg_file_case{"directory", 0, true, -1, true},
                                           jpg_file_case{"short_2999", 2999, false, -1, false},
                                           jpg_file_case{"valid_3000", 3000, false, 0, false},
                                           jpg_file_case{"valid_50000", 50000, false, 0, false}),
                         [](const ::testing::TestParamInfo<jpg_file_case> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(LcdScreen, DrawJpgWithoutPathReturnsMinusOneSilently)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(lcd_draw_jpg(0, 0, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
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
