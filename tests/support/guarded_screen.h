// The LCD module drawing into a guarded in-memory screen: every word starts as
// UNTOUCHED, and a store outside the screen hits an inaccessible page.
#ifndef GUARDED_SCREEN_H
#define GUARDED_SCREEN_H

#include "lcd.h"
#include "test_support.h"

#include <gtest/gtest.h>

constexpr uint32_t UNTOUCHED = 0xA5A5A5A5; // no pixel word has a non-zero top byte

class GuardedScreen : public ::testing::Test {
  protected:
    void SetUp() override
    {
        clear();
    }
    void TearDown() override
    {
        mmap_fd = nullptr;
    }

    void clear()
    {
        for (std::size_t i = 0; i < LCD_BYTES / 4; i++)
            words()[i] = UNTOUCHED;
        mmap_fd = words();
    }
    uint32_t *words()
    {
        return reinterpret_cast<uint32_t *>(screen.data);
    }
    uint32_t at(int x, int y)
    {
        return words()[y * LCD_WIDTH + x];
    }

    // Every pixel of the screen: the image's where it lands, untouched elsewhere.
    void expect_drawn(const rgb_image &image, long x, long y)
    {
        int wrong = 0;
        for (int sy = 0; sy < LCD_HEIGHT; sy++)
            for (int sx = 0; sx < LCD_WIDTH; sx++) {
                long ix = sx - x, iy = sy - y;
                bool inside = ix >= 0 && iy >= 0 && ix < image.width && iy < image.height;
                uint32_t expected = inside ? image.word(int(ix), int(iy)) : UNTOUCHED;
                if (at(sx, sy) != expected && wrong++ < 5)
                    ADD_FAILURE() << "pixel (" << sx << ", " << sy << ") is " << std::hex
                                  << at(sx, sy) << ", expected " << expected;
            }
        EXPECT_EQ(wrong, 0);
    }
    void expect_untouched()
    {
        expect_drawn(rgb_image{}, 0, 0);
    }

    guarded_buffer screen{LCD_BYTES};
    scratch_dir tmp;
};

#endif
