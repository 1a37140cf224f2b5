// The lcd_draw command on the virtual framebuffer: a JPEG and a BMP at three
// positions on every screen layout, against djpeg's decode and the BMP's own
// pixels; every way it refuses; and the development package's example,
// built against the package as installed.
#include "synth_jpeg.h"
#include "test_support.h"
#include "vfb_layouts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

constexpr unsigned char BEFORE = 0x5A; // what the screen showed before the program ran
constexpr const char CONVERT[] = "/usr/bin/convert";

std::vector<std::string> screen_env(const std::string &screen, const char *layout)
{
    return {"LD_PRELOAD=" VFB_LIBRARY, "VFB_FILE=" + screen, std::string("VFB_LAYOUT=") + layout,
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

std::string header_lines(const rgb_image &image)
{
    return "bmp_width=" + std::to_string(image.width) +
           "\r\nbmp_height=" + std::to_string(image.height) + "\r\nbmp_type=24\r\n";
}

// A JPEG from the picture generator, spoiled with fault.
std::string make_jpeg(const scratch_dir &tmp, const std::string &name, int width, int height,
                      int frame = 0, frame_fault fault = frame_fault::none)
{
    synth_options opt;
    opt.width = width, opt.height = height, opt.frame = frame;
    std::string path = tmp.path(name);
    write_file(path, spoil_jpeg(synth_jpeg(opt), fault));
    return path;
}

// A 24-bit BMP of image, written by ImageMagick (never with a palette).
std::string make_bmp(const scratch_dir &tmp, const std::string &name, const rgb_image &image)
{
    std::string head =
        "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
    std::vector<unsigned char> ppm(head.begin(), head.end());
    ppm.insert(ppm.end(), image.rgb.begin(), image.rgb.end());
    write_file(tmp.path(name + ".ppm"), ppm);
    run_result made = run_program(
        {CONVERT, tmp.path(name + ".ppm"), "-type", "truecolor", "BMP3:" + tmp.path(name)}, {});
    EXPECT_EQ(made.exit_status, 0) << CONVERT << " (apt-get install imagemagick): " << made.err;
    return tmp.path(name);
}

class LcdDraw : public ::testing::TestWithParam<layout_pixels> {};

// Each picture at (0, 0), clipped on the right and bottom, and from off the
// top-left corner, on a screen that shows BEFORE everywhere else.
TEST_P(LcdDraw, DrawsOnlyThePictureWhereItLands)
{
    const layout_pixels &pixels = GetParam();
    const vfb_layout *layout = vfb_layout_find(pixels.name);
    ASSERT_NE(layout, nullptr);
    scratch_dir tmp;
    std::string jpeg = make_jpeg(tmp, "picture.jpg", 200, 120);
    rgb_image decoded = djpeg_decode(jpeg);
    std::string bmp = make_bmp(tmp, "picture.bmp", decoded);
    std::string screen = tmp.path("screen");
    const long positions[][2] = {
        {0, 0}, {long(layout->xres) - 150, long(layout->yres) - 50}, {-70, -33}};
    for (const std::string &file : {jpeg, bmp}) {
        for (const auto &at : positions) {
            SCOPED_TRACE(file + " at " + std::to_string(at[0]) + ", " + std::to_string(at[1]));
            std::vector<unsigned char> expected(layout->smem_len, BEFORE);
            write_file(screen, expected);
            run_result r =
                run_program({LCD_DRAW_PROGRAM, file, std::to_string(at[0]), std::to_string(at[1])},
                            screen_env(screen, pixels.name));
            EXPECT_EQ(r.exit_status, 0) << r.err;
            EXPECT_EQ(r.out, file == bmp ? header_lines(decoded) : "");
            EXPECT_EQ(r.err, "");
            put_image(expected.data(), *layout, pixels, decoded, at[0], at[1]);
            EXPECT_EQ(describe_differences(read_bytes(screen), expected, layout->line_length), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, LcdDraw, ::testing::ValuesIn(DRAWABLE_LAYOUTS),
                         [](const auto &info) { return layout_id(info.param.name); });

// Arguments; "@" stands for the input file's path, in them and in the output.
struct refusal {
    const char *name;
    const char *input; // jpeg, bmp, short_jpeg, precision_12, bmp_16, text, missing, directory
    std::vector<std::string> args;
    std::string out, err;  // exact
    bool nameless = false; // run with an empty name, as the kernel names a program run with no argv
};

std::ostream &operator<<(std::ostream &out, const refusal &r)
{
    return out << r.name;
}

std::string fill_in(std::string text, const std::string &path)
{
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
        text.replace(at, 1, path), at += path.size();
    return text;
}

std::string make_input(const scratch_dir &tmp, const std::string &input)
{
    std::string path = tmp.path("input");
    if (input == "jpeg")
        return make_jpeg(tmp, "input", 200, 120);
    if (input == "short_jpeg") { // the module draws no JPEG file under 3,000 bytes
        std::vector<unsigned char> bytes = read_bytes(make_jpeg(tmp, "input", 200, 120));
        bytes.resize(2999);
        write_file(path, bytes);
    }
    if (input == "precision_12")
        return make_jpeg(tmp, "input", 200, 120, 0, frame_fault::precision_12);
    if (input == "bmp" || input == "bmp_16") {
        rgb_image image = djpeg_decode(make_jpeg(tmp, "source.jpg", 20, 10));
        make_bmp(tmp, "input", image);
        if (input == "bmp_16") { // 16 bits per pixel: not drawn
            std::vector<unsigned char> bytes = read_bytes(path);
            bytes.at(28) = 16;
            write_file(path, bytes);
        }
    }
    if (input == "text")
        write_file(path, {'B', 'A', 'D', '\n'});
    if (input == "directory")
        mkdir(path.c_str(), 0755);
    return path;
}

class LcdDrawRefuses : public ::testing::TestWithParam<refusal> {};

TEST_P(LcdDrawRefuses, WithOneLineAndStatus1ScreenAsItWas)
{
    const refusal &c = GetParam();
    scratch_dir tmp;
    std::string path = make_input(tmp, c.input);
    std::vector<std::string> argv = {LCD_DRAW_PROGRAM};
    for (const std::string &a : c.args)
        argv.push_back(fill_in(a, path));
    if (c.nameless) {
        if (runs_under_emulator())
            GTEST_SKIP() << "the emulator gives the program its path as its name";
        argv.insert(argv.begin(), {"bash", "-c", "exec -a '' \"$0\" \"$@\""});
    }
    std::string screen = tmp.path("screen");
    std::vector<unsigned char> before(1536000, BEFORE);
    write_file(screen, before);

    run_result r = run_program(argv, screen_env(screen, "xrgb8888"));
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, fill_in(c.out, path));
    EXPECT_EQ(r.err, fill_in(c.err, path));
    EXPECT_TRUE(read_bytes(screen) == before) << "the screen was written";
}

const std::string USAGE = std::string("Usage: ") + LCD_DRAW_PROGRAM + " FILE [X Y]\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, LcdDrawRefuses,
    ::testing::Values(
        refusal{"missing_file", "missing", {"@"}, "", "Unable to open @: No such file or directory (2)\n"},
        refusal{"directory", "directory", {"@", "0", "0"}, "", "Unable to read @: Is a directory (21)\n"},
        refusal{"neither_jpeg_nor_bmp", "text", {"@"}, "", "lcd_draw: @ is neither a JPEG nor a BMP file\n"},
        refusal{"jpeg_header_refused", "precision_12", {"@"}, "", "Unsupported JPEG data precision 12\n"},
        refusal{"jpeg_under_3000_bytes", "short_jpeg", {"@"}, "",
                "lcd_draw: @: a JPEG file of 2999 bytes, shorter than the 3000 the LCD module draws\n"},
        refusal{"bmp_16_bits", "bmp_16", {"@", "5", "5"}, "bmp_width=20\r\nbmp_height=10\r\nbmp_type=16\r\n",
                "lcd_draw: @: not a BMP file the LCD module draws\n"},
        refusal{"no_argument", "jpeg", {}, USAGE, ""},
        refusal{"no_name", "jpeg", {}, "Usage: lcd_draw FILE [X Y]\n", "", true},
        refusal{"x_without_y", "jpeg", {"@", "5"}, USAGE, ""},
        refusal{"three_numbers", "jpeg", {"@", "1", "2", "3"}, USAGE, ""},
        refusal{"fraction", "bmp", {"@", "1.5", "0"}, USAGE, ""},
        refusal{"hexadecimal", "bmp", {"@", "0", "0x10"}, USAGE, ""},
        refusal{"past_int_max", "bmp", {"@", "2147483648", "0"}, USAGE, ""},
        refusal{"past_int_min", "bmp", {"@", "0", "-2147483649"}, USAGE, ""},
        refusal{"empty_number", "bmp", {"@", "", "0"}, USAGE, ""},
        refusal{"leading_blank", "bmp", {"@", " 5", "0"}, USAGE, ""},
        refusal{"trailing_letters", "bmp", {"@", "5px", "0"}, USAGE, ""},
        refusal{"two_signs", "bmp", {"@", "0", "+-5"}, USAGE, ""}),
    [](const ::testing::TestParamInfo<refusal> &info) { return std::string(info.param.name); });
// clang-format on

#ifdef LOGO_EXAMPLE_SOURCE
// The example of the development package, built as its reader would: the
// package made by cpack and unpacked into a scratch root, the program
// compiled by this build's compiler with the flags pkg-config gives for it.
TEST(DevelopmentPackage, ExampleDrawsTheLogoBesideTheFrames)
{
    scratch_dir tmp;
    std::vector<std::string> env = {
        "CPACK=" CPACK_PROGRAM, "CONFIG=" CPACK_CONFIG,
        "CXX=" TARGET_CXX,      "SOURCE=" LOGO_EXAMPLE_SOURCE,
        "DIR=" + tmp.dir,       "TARGET_PC_LIBDIR=" TARGET_PKG_CONFIG_LIBDIR};
    const char *script =
        "set -e\n"
        "\"$CPACK\" --config \"$CONFIG\" -B \"$DIR/deb\" -D CPACK_COMPONENTS_ALL=lcd_dev "
        ">/dev/null\n"
        "dpkg-deb -x \"$DIR\"/deb/liblcd-draw-dev_*.deb \"$DIR/root\"\n"
        "[ -z \"$TARGET_PC_LIBDIR\" ] || export PKG_CONFIG_LIBDIR=\"$TARGET_PC_LIBDIR\"\n"
        "pc=$(find \"$DIR/root\" -name lcd-draw.pc)\n"
        "flags=$(PKG_CONFIG_PATH=\"${pc%/*}\" pkg-config --cflags --libs lcd-draw)\n"
        "\"$CXX\" -Wall -Wextra -Werror \"$SOURCE\" $flags -o \"$DIR/logo_beside_view\"\n";
    run_result built = run_program({"sh", "-c", script}, env);
    ASSERT_EQ(built.exit_status, 0) << built.out << built.err;

    std::string first = make_jpeg(tmp, "frame1.jpg", 640, 480, 1);
    std::string last = make_jpeg(tmp, "frame2.jpg", 640, 480, 2);
    rgb_image logo = djpeg_decode(make_jpeg(tmp, "logo.jpg", 160, 120, 3));
    std::string screen = tmp.path("screen");
    std::vector<unsigned char> expected(1536000, BEFORE);
    write_file(screen, expected);
    run_result r =
        run_program({tmp.path("logo_beside_view"), make_bmp(tmp, "logo.bmp", logo), first, last},
                    screen_env(screen, "xrgb8888"));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, header_lines(logo) + "the logo at (640, 0), 2 frames at (0, 0)\n");
    EXPECT_EQ(r.err, "");
    const vfb_layout *layout = vfb_layout_find("xrgb8888");
    put_image(expected.data(), *layout, *find_layout_pixels("xrgb8888"), logo, 640, 0);
    put_image(expected.data(), *layout, *find_layout_pixels("xrgb8888"), djpeg_decode(last), 0, 0);
    EXPECT_EQ(describe_differences(read_bytes(screen), expected, layout->line_length), "");
}
#endif

} // namespace
