// Camera-like test pictures, encoded with libjpeg: a lit scene of gradients
// and shapes that move with the frame number, plus sensor noise.
#ifndef SYNTH_JPEG_H
#define SYNTH_JPEG_H

#include <string>
#include <vector>

struct synth_options {
    int width = 640;
    int height = 480;
    int components = 3; // 1 grey, 3 colour (YCbCr), 4 CMYK
    int quality = 85;
    int noise = 12;         // peak sensor noise, in 8-bit levels
    int frame = 0;          // moves the shapes
    bool chroma_422 = true; // 4:2:2 as cameras send; otherwise libjpeg's default 4:2:0
    bool progressive = false;
    bool arithmetic = false; // arithmetic coding instead of Huffman
    int restart_rows = 0;    // a restart marker every so many MCU rows; 0: none
};

// The raw samples of the picture, components bytes per pixel, rows top to bottom.
std::vector<unsigned char> synth_pixels(const synth_options &opt);
std::vector<unsigned char> synth_jpeg(const synth_options &opt);
// The JPEG data without its Huffman tables (DHT segments), as many cameras send
// MJPEG frames: decoders then use the standard tables.
std::vector<unsigned char> strip_huffman_tables(const std::vector<unsigned char> &jpeg);
// Frames that start and end as JPEG data do but that libjpeg refuses or warns
// about, as cameras send when the bus drops packets.
enum class frame_fault {
    none,
    zero_height,      // refused: "Empty JPEG image (DNL not supported)"
    precision_12,     // refused: "Unsupported JPEG data precision 12"
    noise,            // count bytes without markers between start and end: no image
    extraneous_bytes, // count bytes before the end marker: a warning, drawn all the same
};
std::vector<unsigned char> spoil_jpeg(std::vector<unsigned char> jpeg, frame_fault fault,
                                      int count = 0);
bool write_bytes(const std::string &path, const std::vector<unsigned char> &bytes);

#endif
