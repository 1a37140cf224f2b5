// Pictures as R, G, B bytes, read from binary PNM files, screens compared
// byte for byte, and whole files read. Plain C++ without the test framework:
// the VM's helpers use it too.
#ifndef SCREEN_IMAGE_H
#define SCREEN_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A decoded picture, always three bytes R, G, B per pixel.
struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    uint32_t word(int x, int y) const; // as the LCD stores it: 0x00RRGGBB
};

// Reads a binary PPM (P6) or PGM (P5) of 8-bit samples, as djpeg and QEMU
// write them, into image; a PGM's grey comes back as R = G = B. Empty when it
// could, else why not.
std::string parse_pnm(const std::vector<unsigned char> &pnm, rgb_image &image);

// Empty when the screens match in all but at most allowed bytes; else how many
// bytes differ, and where the first few do.
std::string describe_differences(const std::vector<unsigned char> &shown,
                                 const std::vector<unsigned char> &expected, std::size_t line_bytes,
                                 std::size_t allowed = 0);

// Reads the whole file into bytes; false when it cannot be opened.
bool read_file(const std::string &path, std::vector<unsigned char> &bytes);

#endif
