// make_frames: writes camera-like JPEG frames, frame_000.jpg onwards, into a folder.
#include "synth_jpeg.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 5) {
        std::printf("Usage: %s <folder> <count> [<width> <height>]\n", argv[0]);
        return 1;
    }
    synth_options opt;
    int count = std::atoi(argv[2]);
    if (argc == 5) {
        opt.width = std::atoi(argv[3]);
        opt.height = std::atoi(argv[4]);
    }
    if (count < 1 || opt.width < 1 || opt.height < 1 || opt.width > 65500 || opt.height > 65500) {
        std::fprintf(stderr, "make_frames: count, width and height must be positive\n");
        return 1;
    }
    for (opt.frame = 0; opt.frame < count; opt.frame++) {
        char path[4096];
        std::snprintf(path, sizeof path, "%s/frame_%03d.jpg", argv[1], opt.frame);
        if (!write_bytes(path, synth_jpeg(opt))) {
            std::perror(path);
            return 1;
        }
        std::puts(path);
    }
    return 0;
}
