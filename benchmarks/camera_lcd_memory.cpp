// Peak resident memory of camera_lcd showing camera-like frames from the
// replay camera on the virtual screen, start to end.
#include "synth_jpeg.h"
#include "test_support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int FRAMES = 30;

std::string make_frames(const scratch_dir &tmp)
{
    std::string list;
    synth_options opt;
    opt.noise = 22;
    for (opt.frame = 0; opt.frame < FRAMES; opt.frame++) {
        std::string path = tmp.path("frame" + std::to_string(opt.frame) + ".jpg");
        write_file(path, synth_jpeg(opt));
        list += (list.empty() ? "" : ":") + path;
    }
    return list;
}

} // namespace

int main()
{
    scratch_dir tmp;
    std::string screen = tmp.path("screen");
    write_file(screen, {});
    std::vector<std::string> env = {"LD_PRELOAD=" VFB_LIBRARY, "VFB_FILE=" + screen,
                                    "LD_LIBRARY_PATH=" REPLAY_CAMERA_DIR,
                                    "REPLAY_FRAMES=" + make_frames(tmp)};
    run_result run = run_program({CAMERA_LCD_PROGRAM}, env);
    if (run.exit_status != 0) {
        std::fprintf(stderr, "camera_lcd did not run to its end: %s", run.err.c_str());
        return 1;
    }
    std::printf("camera_lcd, %d frames of 640x480 from the replay camera: peak resident "
                "memory %ld KiB (%.2f MiB)\n",
                FRAMES, run.peak_kib, double(run.peak_kib) / 1024.0);
    return 0;
}
