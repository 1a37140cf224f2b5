// The LCD device's pixel store on a guarded in-memory screen.
#include "guarded_screen.h"
#include "lcd.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

using LcdScreen = GuardedScreen;

TEST_F(LcdScreen, PointStoresOneWordAtItsPlace)
{
    lcd_draw_point(10, 2, 0x00FF8000);
    const unsigned char *bytes = screen->data + (2 * 800 + 10) * 4;
    EXPECT_EQ(bytes[0], 0x00);
    EXPECT_EQ(bytes[1], 0x80);
    EXPECT_EQ(bytes[2], 0xFF);
    EXPECT_EQ(bytes[3], 0x00);
    lcd_draw_point(0, 0, 1);
    lcd_draw_point(799, 479, 2);
    EXPECT_EQ(words()[0], 1u);
    EXPECT_EQ(words()[LCD_BYTES / 4 - 1], 2u);
}

TEST_F(LcdScreen, PointsOffTheScreenOrUnmappedAreSkipped)
{
    const int points[][2] = {{-1, 0},      {800, 0},           {0, -1},
                             {0, 480},     {800, 479},         {INT_MIN, 0},
                             {0, INT_MAX}, {INT_MAX, INT_MAX}, {-800, 1}};
    for (const auto &p : points)
        lcd_draw_point(p[0], p[1], 0x123456); // a stray store would hit a guard page
    mmap_fd = nullptr;
    lcd_draw_point(0, 0, 0x123456);
    for (std::size_t i = 0; i < LCD_BYTES / 4; i++)
        ASSERT_EQ(words()[i], UNTOUCHED) << "word " << i;
}

class PointOnLayout : public GuardedScreen, public ::testing::WithParamInterface<layout_pixels> {};

TEST_P(PointOnLayout, IsTheScreensPixelInTheScreensFormat)
{
    ASSERT_NO_FATAL_FAILURE(use_layout(GetParam().name));
    int w = int(layout->xres), h = int(layout->yres);
    const int on_screen[][2] = {{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}, {w / 2, h / 3}};
    std::vector<unsigned char> expected = untouched_screen();
    unsigned char level = 0;
    for (const auto &p : on_screen) {
        rgb_image dot{1, 1, {(unsigned char)(0x13 + level), 0x9C, (unsigned char)(0xF8 - level)}};
        level += 0x21;
        lcd_draw_point(p[0], p[1], dot.word(0, 0));
        put_image(expected.data(), *layout, *pixels, dot, p[0], p[1]);
    }
    const int off_screen[][2] = {{w, 0}, {w, h - 1}, {0, h}, {-1, 0}, {INT_MAX, 1}};
    for (const auto &p : off_screen)
        lcd_draw_point(p[0], p[1], 0x123456); // into padding or a guard page if not skipped
    expect_screen(expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PointOnLayout, ::testing::ValuesIn(DRAWABLE_LAYOUTS),
                         [](const auto &info) { return layout_id(info.param.name); });

// The screen checks both programs share, each refusal in the LCD module's words.
TEST(DescribeFb, RefusesScreensDrawingCannotUse)
{
    struct refusal {
        void (*change)(fb_var_screeninfo &, fb_fix_screeninfo &);
        const char *line;
    };
    const refusal refusals[] = {
        {[](auto &, auto &f) { f.visual = FB_VISUAL_DIRECTCOLOR; },
         "Unable to draw on /dev/fb0: direct-colour screen of 32 bits per pixel\n"},
        {[](auto &v, auto &) { v.blue.offset = 4; },
         "Unable to draw on /dev/fb0: true-colour screen of 32 bits per pixel\n"},
        {[](auto &v, auto &) { v.red.offset = 0xFFFFFFF8u; }, // with its length, past 2^32 to 0
         "Unable to draw on /dev/fb0: true-colour screen of 32 bits per pixel\n"},
        {[](auto &v, auto &) { v.xres = 0; },
         "Unable to draw on /dev/fb0: 0x480 pixels of 32 bits in lines of 3200 bytes\n"},
        {[](auto &, auto &f) { f.line_length = 3196; },
         "Unable to draw on /dev/fb0: 800x480 pixels of 32 bits in lines of 3196 bytes\n"},
        {[](auto &v, auto &f) { // 8-bit true colour: lines of more pixels than an int counts
             v.bits_per_pixel = 8, v.red = {5, 3, 0}, v.green = {2, 3, 0}, v.blue = {0, 2, 0};
             v.xres = 0x80000000u, v.yres = 1, f.line_length = f.smem_len = 0x80000000u;
         },
         "Unable to draw on /dev/fb0: 2147483648x1 pixels of 8 bits in lines of 2147483648 "
         "bytes\n"},
        {[](auto &, auto &f) { f.smem_len = 1535999; },
         "Unable to map /dev/fb0: screen memory is 1535999 bytes, 1536000 needed\n"},
    };
    for (const refusal &r : refusals) {
        fb_var_screeninfo var;
        fb_fix_screeninfo fix;
        vfb_describe(vfb_layout_find("xrgb8888"), &var, &fix);
        r.change(var, fix);
        lcd_screen screen = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(lcd_describe_fb(var, fix, &screen), -1) << r.line;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.line);
        EXPECT_EQ(screen.width, 0) << r.line;
    }
}

} // namespace
