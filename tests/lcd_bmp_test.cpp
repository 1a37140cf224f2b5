// BMP drawing on a guarded in-memory screen: files written by ImageMagick and
// ffmpeg and files made here, compared pixel by pixel with their source image.
#include "guarded_screen.h"
#include "lcd.h"
#include "test_support.h"

#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char CONVERT[] = "/usr/bin/convert";
constexpr const char FFMPEG[] = "/usr/bin/ffmpeg";

// Distinct colours along both axes, so a flipped, shifted or skewed picture shows.
rgb_image make_source(int width, int height)
{
    rgb_image image;
    image.width = width;
    image.height = height;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            image.rgb.insert(image.rgb.end(),
                             {(unsigned char)(x * 47 + 1), (unsigned char)(y * 29 + 2),
                              (unsigned char)((x >> 8) * 64 + (y >> 8) * 16 + (x + y) % 7 + 3)});
    return image;
}

// A PPM, or a PAM with an alpha channel that varies so that the tools keep it.
std::vector<unsigned char> netpbm_bytes(const rgb_image &image, bool alpha)
{
    std::string head = alpha ? "P7\nWIDTH " + std::to_string(image.width) + "\nHEIGHT " +
                                   std::to_string(image.height) +
                                   "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                             : "P6\n" + std::to_string(image.width) + " " +
                                   std::to_string(image.height) + "\n255\n";
    std::vector<unsigned char> bytes(head.begin(), head.end());
    for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
        bytes.insert(bytes.end(), image.rgb.begin() + long(i), image.rgb.begin() + long(i) + 3);
        if (alpha)
            bytes.push_back((unsigned char)(255 - i % 5 * 30));
    }
    return bytes;
}

std::string header_lines(long width, long height, int bits)
{
    return "bmp_width=" + std::to_string(width) + "\r\nbmp_height=" + std::to_string(height) +
           "\r\nbmp_type=" + std::to_string(bits) + "\r\n";
}

class BmpScreen : public GuardedScreen {
  protected:
    // The result, with what the call printed in out.
    int draw(int x, int y, const std::string &path)
    {
        testing::internal::CaptureStdout();
        int result = lcd_draw_bmp(x, y, path.c_str());
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    std::string out;
};

// Files written by the tools

enum writer { IMAGEMAGICK_BMP3, IMAGEMAGICK_DEFAULT, FFMPEG_BMP };
const char *const WRITER_NAMES[] = {"imagemagick_bmp3", "imagemagick_default", "ffmpeg"};
constexpr int TOOL_IMAGE_HEIGHT = 3;

// Empty when the tool is there and is the one named; otherwise what to install.
std::string missing_tool(const char *path, const std::string &banner, const char *package)
{
    if (access(path, X_OK) == 0 &&
        run_program({path, "-version"}, {}).out.find(banner) != std::string::npos)
        return "";
    return std::string(path) + " is missing or is not " + package + "'s: apt-get install " +
           package;
}

std::vector<std::string> writer_command(writer w, int bits, const std::string &source,
                                        const std::string &bmp)
{
    if (w == FFMPEG_BMP)
        return {FFMPEG, "-loglevel", "error",    "-y",
                "-i",   source,      "-pix_fmt", bits == 32 ? "bgra" : "bgr24",
                bmp};
    if (w == IMAGEMAGICK_BMP3 && bits == 32)
        return {CONVERT, source, "-define", "bmp3:alpha=true", "BMP3:" + bmp};
    return {CONVERT, source, (w == IMAGEMAGICK_BMP3 ? "BMP3:" : "") + bmp};
}

using tool_case = std::tuple<writer, int, int>; // writer, bits per pixel, width

class ToolBmp : public BmpScreen, public ::testing::WithParamInterface<tool_case> {};

TEST_P(ToolBmp, DrawsTheSourceImageAtEveryPlacement)
{
    auto [w, bits, width] = GetParam();
    std::string problem = w == FFMPEG_BMP ? missing_tool(FFMPEG, "ffmpeg version", "ffmpeg")
                                          : missing_tool(CONVERT, "ImageMagick", "imagemagick");
    ASSERT_EQ(problem, "");
    rgb_image source = make_source(width, TOOL_IMAGE_HEIGHT);
    std::string source_path = tmp.path(bits == 32 ? "source.pam" : "source.ppm"),
                bmp = tmp.path("image.bmp");
    write_file(source_path, netpbm_bytes(source, bits == 32));
    run_result made = run_program(writer_command(w, bits, source_path, bmp), {});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    std::vector<unsigned char> file = read_bytes(bmp);
    if (w == IMAGEMAGICK_DEFAULT) { // the larger header is what this writer is here for
        ASSERT_GT(file.at(10) | file.at(11) << 8, 54);
    }

    const long placements[][2] = {
        {0, 0},      {100, 50},       {-1, -2},          {LCD_WIDTH - 2, LCD_HEIGHT - 1},
        {-width, 7}, {5, LCD_HEIGHT}, {INT_MIN, INT_MAX}};
    for (const auto &at : placements) {
        SCOPED_TRACE("at (" + std::to_string(at[0]) + ", " + std::to_string(at[1]) + ")");
        clear();
        EXPECT_EQ(draw(int(at[0]), int(at[1]), bmp), 0);
        EXPECT_EQ(out, header_lines(width, TOOL_IMAGE_HEIGHT, bits));
        expect_drawn(source, at[0], at[1]);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Writers, ToolBmp,
    ::testing::Combine(::testing::Values(IMAGEMAGICK_BMP3, IMAGEMAGICK_DEFAULT, FFMPEG_BMP),
                       ::testing::Values(24, 32), ::testing::Range(1, 6)),
    [](const ::testing::TestParamInfo<tool_case> &info) {
        return std::string(WRITER_NAMES[std::get<0>(info.param)]) + "_" + std::to_string(std::get<1>(info.param)) +
               "bit_width" + std::to_string(std::get<2>(info.param));
    });
// clang-format on

// Files made here

constexpr uint32_t RUN_LENGTH = 1, BIT_FIELDS = 3; // compression in the header

struct own_case {
    const char *name;
    int width, height; // of the stored image; a negative height stores it top-down
    int bits;
    uint32_t compression = 0;
    int x = 0, y = 0;
    int expected = 0;
    long file_size = 0;    // when set, the size the written file must have
    long keep_bytes = -1;  // when set, the file is cut to this many bytes
    long extra_bytes = 0;  // bytes after the pixel data
    long header_width = 0; // when set, the width and height the header claims
    long header_height = 0;
    uint32_t red_mask = 0; // with bit fields, written with green 0xFF00 and blue 0xFF
    int gap = 0;           // bytes between the headers and the pixels, as V4 and V5 files have
    bool offset_past_end = false;

    // clang-format off
    own_case &at(int to_x, int to_y) { x = to_x, y = to_y; return *this; }
    own_case &refused() { expected = -1; return *this; }
    own_case &sized(long bytes) { file_size = bytes; return *this; }
    own_case &cut_to(long bytes) { keep_bytes = bytes; return *this; }
    own_case &trailing(long bytes) { extra_bytes = bytes; return *this; }
    own_case &claiming(long w, long h) { header_width = w, header_height = h; return *this; }
    own_case &run_length() { compression = RUN_LENGTH; return *this; }
    own_case &bit_fields(uint32_t red = 0xFF0000) { compression = BIT_FIELDS, red_mask = red; return *this; }
    own_case &gap_before_pixels(int bytes) { gap = bytes; return *this; }
    own_case &offset_past_the_end() { offset_past_end = true; return *this; }
    // clang-format on
};

own_case bmp(const char *name, int width, int height, int bits)
{
    return {name, width, height, bits};
}

std::ostream &operator<<(std::ostream &o, const own_case &c)
{
    return o << c.name;
}

void put32(std::vector<unsigned char> &b, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (unsigned char)(v >> 8 * i);
}

std::vector<unsigned char> make_bmp(const own_case &c, const rgb_image &image)
{
    bool masks = c.compression == BIT_FIELDS;
    std::size_t offset = 54 + (masks ? 12 : 0) + std::size_t(c.gap);
    std::vector<unsigned char> b(offset, 0x55);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 10, c.offset_past_end ? 0xFFFFFFF0 : uint32_t(offset));
    put32(b, 14, 40);
    put32(b, 18, uint32_t(c.header_width ? c.header_width : c.width));
    put32(b, 22, uint32_t(c.header_height ? c.header_height : c.height));
    put32(b, 26, 1 | c.bits << 16);
    put32(b, 30, c.compression);
    if (masks) {
        put32(b, 54, c.red_mask);
        put32(b, 58, 0xFF00);
        put32(b, 62, 0xFF);
    }
    for (int i = 0; i < image.height; i++) {
        int row = c.height < 0 ? i : image.height - 1 - i;
        for (int x = 0; x < image.width; x++) {
            const unsigned char *p = &image.rgb[(std::size_t(row) * image.width + x) * 3];
            b.insert(b.end(), {p[2], p[1], p[0]});
            if (c.bits == 32)
                b.push_back(0x7F);
        }
        while ((b.size() - offset) % 4)
            b.push_back(0xEE); // alignment bytes that would show if drawn
    }
    b.insert(b.end(), std::size_t(c.extra_bytes), 0x33);
    put32(b, 2, uint32_t(b.size())); // a cut file still claims its whole size
    if (c.keep_bytes >= 0)
        b.resize(std::size_t(c.keep_bytes));
    return b;
}

class OwnBmp : public BmpScreen, public ::testing::WithParamInterface<own_case> {};

TEST_P(OwnBmp, DrawsTheVisiblePartOrNothing)
{
    const own_case &c = GetParam();
    rgb_image source = make_source(c.width, c.height < 0 ? -c.height : c.height);
    std::vector<unsigned char> file = make_bmp(c, source);
    if (c.file_size) {
        ASSERT_EQ(long(file.size()), c.file_size);
    }
    std::string path = tmp.path("own.bmp");
    write_file(path, file);

    bool header_kept = c.keep_bytes < 0 || c.keep_bytes >= 30;
    long w = c.header_width ? c.header_width : c.width,
         h = c.header_height ? c.header_height : c.height;

    for (const layout_pixels &l : DRAWABLE_LAYOUTS) {
        SCOPED_TRACE(l.name);
        ASSERT_NO_FATAL_FAILURE(use_layout(l.name));
        EXPECT_EQ(draw(c.x, c.y, path), c.expected);
        EXPECT_EQ(out, header_kept ? header_lines(w, h, c.bits) : header_lines(0, 0, 0));
        expect_drawn(c.expected == 0 ? source : rgb_image{}, c.x, c.y);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Files, OwnBmp,
    ::testing::Values(
        bmp("full_screen_32_fills_the_buffer", 800, 480, 32).sized(1536054),
        bmp("full_screen_24", 800, 480, 24).sized(1152054),
        bmp("one_row_more_than_the_buffer", 800, 481, 32).sized(1539254).refused(),
        bmp("bytes_after_a_full_buffer_ignored", 800, 480, 32).trailing(3200),
        bmp("claims_65535_square", 4, 4, 24).claiming(65535, 65535).refused(),
        bmp("claims_more_rows_than_stored", 5, 3, 24).claiming(5, 4).at(10, 10).refused(),
        bmp("truncated_by_one_byte", 5, 3, 24).cut_to(101).at(10, 10).refused(),
        bmp("header_only", 5, 3, 24).cut_to(54).at(10, 10).refused(),
        bmp("shorter_than_the_header", 3, 2, 24).cut_to(30).at(10, 10).refused(),
        bmp("empty_file", 3, 2, 24).cut_to(0).at(10, 10).refused(),
        bmp("top_down_24", 5, -3, 24).at(100, 50),
        bmp("top_down_32_off_left_and_top", 4, -3, 32).at(-2, -1),
        bmp("plain_bit_fields_32_off_bottom", 3, 2, 32).bit_fields().at(3, 479),
        bmp("swapped_bit_fields_32", 3, 2, 32).bit_fields(0xFF).refused(),
        bmp("bit_fields_24", 3, 2, 24).bit_fields().refused(),
        bmp("gap_before_pixels_off_right", 5, 3, 24).gap_before_pixels(70).at(798, 0),
        bmp("offset_past_the_end_not_believed", 5, 3, 24).offset_past_the_end(),
        bmp("palette_8", 4, 2, 8).refused(),
        bmp("rle_8", 4, 2, 8).run_length().refused(),
        bmp("bits_16", 4, 2, 16).refused(),
        bmp("rle_24", 4, 2, 24).run_length().refused(),
        bmp("negative_width", 4, 2, 24).claiming(-4, 2).refused()),
    [](const ::testing::TestParamInfo<own_case> &info) { return std::string(info.param.name); });
// clang-format on

int draw_bmp_at_origin(const char *path)
{
    return lcd_draw_bmp(0, 0, path) == 0 ? 0 : 1;
}

// Nothing is written to an image file: one on a read-only file system, or
// without write permission, is drawn.
TEST_F(BmpScreen, DrawBmpOpensTheFileReadOnly)
{
    own_case c = bmp("read_only", 5, 3, 24);
    std::string path = tmp.path("read_only.bmp");
    write_file(path, make_bmp(c, make_source(c.width, c.height)));
    ASSERT_EQ(chmod(tmp.dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    testing::internal::CaptureStdout(); // the header lines
    EXPECT_EQ(exit_status_unprivileged(draw_bmp_at_origin, path.c_str()), 0);
    testing::internal::GetCapturedStdout();
}

class UnopenedBmp : public BmpScreen, public ::testing::WithParamInterface<const char *> {};

TEST_P(UnopenedBmp, PrintsOpenErrorAndDrawsNothing)
{
    std::string path = tmp.path(GetParam());
    if (std::string(GetParam()) == "directory") {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    EXPECT_EQ(draw(0, 0, path), -1);
    EXPECT_EQ(out, "open bmp error\r\n");
    expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(Paths, UnopenedBmp, ::testing::Values("missing", "directory"));

TEST_F(BmpScreen, NullPathPrintsOpenError)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(lcd_draw_bmp(0, 0, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open bmp error\r\n");
}

} // namespace
