// Peak resident memory of camera_lcd showing camera-like frames from the
// replay camera on the virtual screen, start to end.
#include "synth_jpeg.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int FRAMES = 30;

std::string make_frames(const std::string &dir)
{
    std::string list;
    synth_options opt;
    opt.noise = 22;
    for (opt.frame = 0; opt.frame < FRAMES; opt.frame++) {
        std::string path = dir + "/frame" + std::to_string(opt.frame) + ".jpg";
        if (!write_bytes(path, synth_jpeg(opt)))
            return "";
        list += (list.empty() ? "" : ":") + path;
    }
    return list;
}

// Runs camera_lcd to its end; its peak resident set in KiB, or -1.
long run_camera_lcd(const std::string &frames, const std::string &screen)
{
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LD_PRELOAD", VFB_LIBRARY, 1);
        setenv("VFB_FILE", screen.c_str(), 1);
        setenv("LD_LIBRARY_PATH", REPLAY_CAMERA_DIR, 1);
        setenv("REPLAY_FRAMES", frames.c_str(), 1);
        execl(CAMERA_LCD_PROGRAM, CAMERA_LCD_PROGRAM, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

} // namespace

int main()
{
    char dir[] = "/tmp/camera_lcd_memory.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string frames = make_frames(dir);
    std::string screen = std::string(dir) + "/screen";
    if (FILE *f = std::fopen(screen.c_str(), "w"))
        std::fclose(f);
    long peak = frames.empty() ? -1 : run_camera_lcd(frames, screen);
    std::system((std::string("rm -rf ") + dir).c_str());
    if (peak < 0) {
        std::fprintf(stderr, "camera_lcd did not run to its end\n");
        return 1;
    }
    std::printf("camera_lcd, %d frames of 640x480 from the replay camera: peak resident "
                "memory %ld KiB (%.2f MiB)\n",
                FRAMES, peak, peak / 1024.0);
    return 0;
}
