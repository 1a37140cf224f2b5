// The LCD module drawing into a guarded in-memory screen of one of the
// virtual framebuffer's layouts (the panel's own until told otherwise): every
// byte starts as UNTOUCHED_BYTE, and a store outside the screen hits an
// inaccessible page.
#ifndef GUARDED_SCREEN_H
#define GUARDED_SCREEN_H

#include "lcd.h"
#include "test_support.h"
#include "vfb_layouts.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>

constexpr unsigned char UNTOUCHED_BYTE = 0xA5;
constexpr uint32_t UNTOUCHED = 0xA5A5A5A5; // no pixel word has a non-zero top byte

class GuardedScreen : public ::testing::Test {
  protected:
    void SetUp() override
    {
        panel = g_screen;
        use_layout("xrgb8888");
    }
    void TearDown() override
    {
        mmap_fd = nullptr;
        g_screen = panel;
    }

    // Describes the screen as the driver would, maps it as memory of exactly
    // the bytes mmap_lcd maps (line_length x (yoffset + yres)), and clears it.
    void use_layout(const char *name)
    {
        layout = vfb_layout_find(name);
        pixels = find_layout_pixels(name);
        ASSERT_TRUE(layout && pixels) << name;
        fb_var_screeninfo var;
        fb_fix_screeninfo fix;
        vfb_describe(layout, &var, &fix);
        ASSERT_EQ(lcd_describe_fb(var, fix, &g_screen), 0);
        screen = std::make_unique<guarded_buffer>(g_screen.memory_bytes);
        clear();
    }
    void clear()
    {
        std::memset(screen->data, UNTOUCHED_BYTE, screen->size);
        mmap_fd = reinterpret_cast<uint32_t *>(screen->data + g_screen.first_byte);
    }
    uint32_t *words()
    {
        return reinterpret_cast<uint32_t *>(screen->data);
    }

    std::vector<unsigned char> untouched_screen()
    {
        return std::vector<unsigned char>(screen->size, UNTOUCHED_BYTE);
    }
    void expect_screen(const std::vector<unsigned char> &expected)
    {
        std::vector<unsigned char> shown(screen->data, screen->data + screen->size);
        EXPECT_EQ(describe_differences(shown, expected, layout->line_length), "");
    }
    // Every byte of the screen: the image's where it lands, untouched elsewhere.
    void expect_drawn(const rgb_image &image, long x, long y)
    {
        std::vector<unsigned char> expected = untouched_screen();
        put_image(expected.data(), *layout, *pixels, image, x, y);
        expect_screen(expected);
    }
    void expect_untouched()
    {
        expect_drawn(rgb_image{}, 0, 0);
    }

    lcd_screen panel;
    const vfb_layout *layout = nullptr;
    const layout_pixels *pixels = nullptr;
    std::unique_ptr<guarded_buffer> screen;
    scratch_dir tmp;
};

#endif
