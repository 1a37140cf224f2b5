// A logo beside the live view, drawn with the LCD module of liblcd-draw-dev:
// the logo, a BMP file, at (640, 0), right of the 640 x 480 frames, which are
// then drawn at (0, 0) one after another, as the live view draws them, and
// leave the logo alone. The frames come from JPEG files here; a live view
// gets each from the camera as JPEG data in memory.
//
//   g++ logo_beside_view.cpp $(pkg-config --cflags --libs lcd-draw) -o logo_beside_view
//   ./logo_beside_view logo.bmp frame1.jpg frame2.jpg
//
// On a DRM display (no /dev/fb0) the picture lasts as long as the program.
#include "lcd_api.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

constexpr int LOGO_X = 640;

// A file's bytes; none when it cannot be read, which show_video_data refuses.
std::vector<unsigned char> read_frame(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: %s LOGO.bmp FRAME.jpg...\n", argv[0]);
        return 1;
    }
    if (lcd_open() < 0)
        return 1;
    // Every call has said why it failed; the calls print the BMP's header too.
    bool drawn = mmap_lcd() >= 0 && lcd_draw_bmp(LOGO_X, 0, argv[1]) == 0;
    int frames = 0;
    for (int i = 2; drawn && i < argc; i++, frames++) {
        std::vector<unsigned char> frame = read_frame(argv[i]);
        drawn = show_video_data(0, 0, frame.data(), int(frame.size())) == 0;
    }
    if (drawn)
        std::printf("the logo at (%d, 0), %d frames at (0, 0)\n", LOGO_X, frames);
    lcd_close();
    return drawn ? 0 : 1;
}
