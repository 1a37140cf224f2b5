// make_fuzz_corpus: writes the fuzzing harnesses' seed corpus into the folder
// named, one folder per kind of input: bmp, jpeg (for the video and viewer
// harnesses), jpg_file and frame:
//     build/tests/make_fuzz_corpus tests/fuzz/corpus
// Small files: the fuzzer grows them, the test run replays them as they are.
#include "synth_jpeg.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

constexpr std::size_t MIN_JPEG_FILE_BYTES = 3000; // lcd_draw_jpg refuses shorter files
constexpr uint32_t V4L2_ERROR_FLAG = 0x40;        // V4L2_BUF_FLAG_ERROR

struct named {
    std::string name;
    bytes data;
};

void put_u32(bytes &b, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (unsigned char)(v >> 8 * i);
}

bytes jpeg_of(int width, int height, int components, void (*tweak)(synth_options &))
{
    synth_options opt;
    opt.width = width, opt.height = height, opt.components = components;
    opt.quality = 60;
    opt.noise = 4;
    if (tweak)
        tweak(opt);
    return synth_jpeg(opt);
}

bytes cut(bytes b, std::size_t percent)
{
    b.resize(b.size() * percent / 100);
    return b;
}

std::vector<named> jpeg_seeds()
{
    return {
        {"colour_422.jpg", jpeg_of(48, 32, 3, nullptr)},
        {"colour_420.jpg", jpeg_of(40, 24, 3, [](synth_options &o) { o.chroma_422 = false; })},
        {"grey.jpg", jpeg_of(33, 17, 1, nullptr)},
        {"cmyk.jpg", jpeg_of(16, 16, 4, nullptr)},
        {"progressive.jpg", jpeg_of(40, 24, 3, [](synth_options &o) { o.progressive = true; })},
        {"arithmetic.jpg", jpeg_of(24, 16, 3, [](synth_options &o) { o.arithmetic = true; })},
        {"restarts.jpg", jpeg_of(64, 32, 3, [](synth_options &o) { o.restart_rows = 1; })},
        {"no_huffman_tables.jpg", strip_huffman_tables(jpeg_of(48, 32, 3, nullptr))},
        {"cut_short.jpg", cut(jpeg_of(48, 32, 3, nullptr), 60)},
        {"wide.jpg", jpeg_of(900, 8, 3, [](synth_options &o) { o.quality = 20; })},
        {"zero_height.jpg", spoil_jpeg(jpeg_of(24, 16, 3, nullptr), frame_fault::zero_height)},
        {"precision_12.jpg", spoil_jpeg(jpeg_of(24, 16, 3, nullptr), frame_fault::precision_12)},
        {"noise.jpg", spoil_jpeg({}, frame_fault::noise, 64)},
        {"extraneous_bytes.jpg",
         spoil_jpeg(jpeg_of(24, 16, 3, nullptr), frame_fault::extraneous_bytes, 16)},
    };
}

// As files for lcd_draw_jpg: zero bytes after the image bring each to its minimum size.
std::vector<named> jpeg_file_seeds()
{
    std::vector<named> seeds = jpeg_seeds();
    for (named &s : seeds)
        if (s.data.size() < MIN_JPEG_FILE_BYTES)
            s.data.resize(MIN_JPEG_FILE_BYTES, 0);
    return seeds;
}

// A buffer as the driver hands it over: flags, bytesused, then the mapped bytes.
bytes dequeued(uint32_t flags, uint32_t bytesused, const bytes &mapped)
{
    bytes b(8, 0);
    put_u32(b, 0, flags);
    put_u32(b, 4, bytesused);
    b.insert(b.end(), mapped.begin(), mapped.end());
    return b;
}

std::vector<named> frame_seeds()
{
    bytes frame = jpeg_of(48, 32, 3, nullptr);
    bytes no_soi = frame;
    no_soi[1] = 0;
    bytes padded = frame;
    padded.resize(frame.size() + 64, 0);
    uint32_t size = uint32_t(frame.size());
    return {
        {"zero_padded", dequeued(0, uint32_t(padded.size()), padded)},
        {"complete", dequeued(0, size, frame)},
        {"error_flag", dequeued(V4L2_ERROR_FLAG, size, frame)},
        {"empty", dequeued(0, 0, frame)},
        {"bytesused_past_buffer", dequeued(0, size * 4, frame)},
        {"partly_filled", dequeued(0, size / 2, frame)},
        {"no_start_of_image", dequeued(0, size, no_soi)},
        {"no_huffman_tables", dequeued(0, size, strip_huffman_tables(frame))},
    };
}

struct bmp_form {
    int width, height, bits;
    uint32_t compression;
    uint32_t header_bytes; // 40, or 108 and 124 for V4 and V5
    bool masks;            // bit fields R, G, B after the 40 bytes
};

// Rows of a colour ramp, each padded to 4 bytes, after the headers.
bytes bmp_of(const bmp_form &f)
{
    uint32_t offset = 14 + f.header_bytes + (f.masks && f.header_bytes == 40 ? 12 : 0);
    bytes b(offset, 0);
    b[0] = 'B', b[1] = 'M';
    put_u32(b, 10, offset);
    put_u32(b, 14, f.header_bytes);
    put_u32(b, 18, uint32_t(f.width));
    put_u32(b, 22, uint32_t(f.height));
    put_u32(b, 26, 1u | uint32_t(f.bits) << 16);
    put_u32(b, 30, f.compression);
    if (f.masks) {
        put_u32(b, 54, 0xFF0000);
        put_u32(b, 58, 0xFF00);
        put_u32(b, 62, 0xFF);
    }
    int rows = f.height < 0 ? -f.height : f.height;
    int columns = f.width < 0 ? -f.width : f.width;
    std::size_t stride = (std::size_t(columns) * f.bits / 8 + 3) / 4 * 4;
    for (int y = 0; y < rows; y++)
        for (std::size_t i = 0; i < stride; i++)
            b.push_back((unsigned char)(y * 31 + i * 7));
    put_u32(b, 2, uint32_t(b.size()));
    return b;
}

std::vector<named> bmp_seeds()
{
    bytes offset_past_end = bmp_of({5, 3, 24, 0, 40, false});
    put_u32(offset_past_end, 10, 0xFFFFFFF0);
    return {
        {"bottom_up_24.bmp", bmp_of({7, 5, 24, 0, 40, false})},
        {"top_down_32.bmp", bmp_of({6, -4, 32, 0, 40, false})},
        {"bit_fields_32.bmp", bmp_of({4, 3, 32, 3, 40, true})},
        {"v5_bit_fields_32.bmp", bmp_of({4, 3, 32, 3, 124, true})},
        {"v4_24.bmp", bmp_of({5, 2, 24, 0, 108, false})},
        {"palette_8.bmp", bmp_of({8, 2, 8, 0, 40, false})},
        {"bits_16.bmp", bmp_of({4, 2, 16, 0, 40, false})},
        {"rle_8.bmp", bmp_of({4, 2, 8, 1, 40, false})},
        {"cut_short.bmp", cut(bmp_of({9, 9, 24, 0, 40, false}), 70)},
        {"offset_past_end.bmp", offset_past_end},
        {"negative_width.bmp", bmp_of({-4, 2, 24, 0, 40, false})},
    };
}

bool write_folder(const std::string &dir, const std::vector<named> &seeds)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "mkdir %s failed: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    for (const named &s : seeds) {
        std::string path = dir + "/" + s.name;
        if (!write_bytes(path, s.data)) {
            std::fprintf(stderr, "write %s failed: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::printf("Usage: %s <corpus folder>\n", argv[0]);
        return 1;
    }
    std::string root = argv[1];
    bool written = write_folder(root, {}) && write_folder(root + "/bmp", bmp_seeds()) &&
                   write_folder(root + "/jpeg", jpeg_seeds()) &&
                   write_folder(root + "/jpg_file", jpeg_file_seeds()) &&
                   write_folder(root + "/frame", frame_seeds());
    return written ? 0 : 1;
}
