#include "synth_jpeg.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

struct rng {
    uint32_t state;
    int noise(int peak)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        // sum of two uniform draws: a rough bell shape, as sensor noise
        int a = int(state & 0xFF), b = int((state >> 8) & 0xFF);
        return peak ? (a + b - 255) * peak / 255 : 0;
    }
};

unsigned char clamp8(int v)
{
    return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The noiseless scene colour at (x, y).
void scene_rgb(const synth_options &opt, int x, int y, int rgb[3])
{
    int w = opt.width, h = opt.height;
    rgb[0] = 40 + 160 * x / (w > 1 ? w - 1 : 1);
    rgb[1] = 60 + 140 * y / (h > 1 ? h - 1 : 1);
    rgb[2] = 180 - 120 * (x + y) / (w + h);
    int cx = (w / 4 + opt.frame * 7) % (w > 0 ? w : 1), cy = h / 2;
    int r = h / 5;
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r) {
        rgb[0] = 230, rgb[1] = 50, rgb[2] = 40;
    }
    if (x > w / 2 && x < w / 2 + w / 6 && y > h / 8 && y < h / 8 + h / 4) {
        rgb[0] = 30, rgb[1] = 200, rgb[2] = 90;
    }
    if ((x / 16 + y / 16) % 2 == 0 && y > h - h / 6)
        rgb[0] = rgb[1] = rgb[2] = 250;
}

void set_sampling(jpeg_compress_struct &cinfo, bool chroma_422)
{
    if (cinfo.num_components != 3)
        return;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = chroma_422 ? 1 : 2;
    for (int c = 1; c < 3; c++)
        cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
}

void set_coding(jpeg_compress_struct &cinfo, const synth_options &opt)
{
    if (opt.progressive)
        jpeg_simple_progression(&cinfo);
    cinfo.arith_code = opt.arithmetic ? TRUE : FALSE;
    cinfo.restart_in_rows = opt.restart_rows;
}

constexpr unsigned char MARKER = 0xFF, SOI = 0xD8, EOI = 0xD9, DHT = 0xC4, SOS = 0xDA;

} // namespace

std::vector<unsigned char> synth_pixels(const synth_options &opt)
{
    int comps = opt.components;
    std::vector<unsigned char> pixels(std::size_t(opt.width) * opt.height * comps);
    rng random{uint32_t(0x9E3779B9u ^ (uint32_t(opt.frame) * 2654435761u)) | 1u};
    unsigned char *p = pixels.data();
    for (int y = 0; y < opt.height; y++) {
        for (int x = 0; x < opt.width; x++, p += comps) {
            int rgb[3];
            scene_rgb(opt, x, y, rgb);
            int grain = random.noise(opt.noise);
            if (comps == 1) {
                p[0] = clamp8((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) / 256 + grain);
                continue;
            }
            for (int c = 0; c < 3; c++)
                p[c] = clamp8(rgb[c] + grain + random.noise(opt.noise / 2));
            if (comps == 4) { // CMYK as Adobe writes it: inverted, black unused
                for (int c = 0; c < 3; c++)
                    p[c] = static_cast<unsigned char>(255 - p[c]);
                p[3] = 255;
            }
        }
    }
    return pixels;
}

std::vector<unsigned char> synth_jpeg(const synth_options &opt)
{
    std::vector<unsigned char> pixels = synth_pixels(opt);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = JDIMENSION(opt.width);
    cinfo.image_height = JDIMENSION(opt.height);
    cinfo.input_components = opt.components;
    cinfo.in_color_space = opt.components == 1   ? JCS_GRAYSCALE
                           : opt.components == 4 ? JCS_CMYK
                                                 : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, opt.quality, TRUE);
    set_sampling(cinfo, opt.chroma_422);
    set_coding(cinfo, opt);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = &pixels[std::size_t(cinfo.next_scanline) * opt.width * opt.components];
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<unsigned char> jpeg(out, out + out_size);
    std::free(out);
    return jpeg;
}

// Segments up to the first scan are copied unless they are DHT; the rest as it is.
std::vector<unsigned char> strip_huffman_tables(const std::vector<unsigned char> &jpeg)
{
    std::vector<unsigned char> out(jpeg.begin(),
                                   jpeg.begin() + (jpeg.size() < 2 ? jpeg.size() : 2));
    std::size_t at = out.size();
    while (at + 4 <= jpeg.size() && jpeg[at] == MARKER && jpeg[at + 1] != SOS) {
        std::size_t end = at + 2 + (std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (end > jpeg.size())
            break;
        if (jpeg[at + 1] != DHT)
            out.insert(out.end(), jpeg.begin() + long(at), jpeg.begin() + long(end));
        at = end;
    }
    out.insert(out.end(), jpeg.begin() + long(at), jpeg.end());
    return out;
}

namespace {

// The offset of the first frame header (SOF0 to SOF2) in the data, or 0.
std::size_t find_frame_header(const std::vector<unsigned char> &jpeg)
{
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == MARKER && jpeg[at + 1] != SOS) {
        if (jpeg[at + 1] >= 0xC0 && jpeg[at + 1] <= 0xC2)
            return at;
        at += 2 + (std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    }
    return 0;
}

// Appends count bytes that hold no marker, then the end-of-image marker.
void end_with_filler(std::vector<unsigned char> &jpeg, int count)
{
    for (int i = 0; i < count; i++)
        jpeg.push_back(static_cast<unsigned char>(i * 37 % 255)); // never 0xFF
    jpeg.insert(jpeg.end(), {MARKER, EOI});
}

} // namespace

std::vector<unsigned char> spoil_jpeg(std::vector<unsigned char> jpeg, frame_fault fault, int count)
{
    constexpr std::size_t PRECISION = 4, HEIGHT = 5; // bytes into the frame header
    std::size_t header = find_frame_header(jpeg);
    switch (fault) {
    case frame_fault::none: break;
    case frame_fault::zero_height:
        if (header)
            jpeg[header + HEIGHT] = jpeg[header + HEIGHT + 1] = 0;
        break;
    case frame_fault::precision_12:
        if (header)
            jpeg[header + PRECISION] = 12;
        break;
    case frame_fault::noise:
        jpeg = {MARKER, SOI};
        end_with_filler(jpeg, count);
        break;
    case frame_fault::extraneous_bytes:
        jpeg.resize(jpeg.size() - 2); // the end-of-image marker
        end_with_filler(jpeg, count);
        break;
    }
    return jpeg;
}

bool write_bytes(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}
