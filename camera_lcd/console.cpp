// The console kept off the live view (console.h). Modes and VT switches are
// asked of the VT's own descriptor: on its controlling terminal a process
// needs no capability for them, on another VT it needs CAP_SYS_TTY_CONFIG.
#include "console.h"
#include "failure_line.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr unsigned VT_MAJOR = 4; // the VTs are its minors 1 to 63
constexpr unsigned LAST_VT = 63;
constexpr const char VT_PATH[] = "/dev/tty%d";
// Readable by anyone, unlike /dev/tty0, so that a console on the screen is
// found, and said to stay, also where it cannot be taken.
constexpr const char FRONT_VT_FILE[] = "/sys/class/tty/tty0/active";
constexpr int RELEASING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// What release_console undoes, read by signal handlers.
volatile std::sig_atomic_t g_console_fd = -1; // the VT held in graphics mode
volatile std::sig_atomic_t g_previous_vt = 0; // the VT in front before ours, 0: ours was

// The VT behind fd, or 0 when it is none.
int find_vt_of(int fd)
{
    unsigned int device = 0;
    if (ioctl(fd, TIOCGDEV, &device) < 0 || major(device) != VT_MAJOR)
        return 0;
    unsigned vt = minor(device);
    return vt >= 1 && vt <= LAST_VT ? int(vt) : 0;
}

// The controlling terminal's VT, opened into fd; 0 when it has none (a
// service without a TTYPath, a login over the network).
int find_own_vt(int *fd)
{
    *fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    int vt = *fd >= 0 ? find_vt_of(*fd) : 0;
    if (vt == 0 && *fd >= 0) {
        close(*fd);
        *fd = -1;
    }
    return vt;
}

// The VT in front, 0 where there are no VTs.
int find_front_vt()
{
    int vt = 0;
    std::FILE *file = std::fopen(FRONT_VT_FILE, "re");
    if (file) {
        if (std::fscanf(file, "tty%d", &vt) != 1)
            vt = 0;
        std::fclose(file);
    }
    return vt;
}

// True when the kernel's console draws the VT on the framebuffer screen_fd.
bool shows_console(int screen_fd, int vt)
{
    struct stat st;
    if (fstat(screen_fd, &st) < 0 || !S_ISCHR(st.st_mode))
        return false;
    fb_con2fbmap map = {unsigned(vt), UINT32_MAX};
    return ioctl(screen_fd, FBIOGET_CON2FBMAP, &map) == 0 && map.framebuffer == minor(st.st_rdev);
}

void release_and_end(int signal)
{
    release_console();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal); // delivered once the handler returns: the end the signal meant
}

void release_at_end()
{
    std::atexit(release_console);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : RELEASING_SIGNALS)
        sigaddset(&blocked, signal);
    for (int signal : RELEASING_SIGNALS)
        catch_signal(signal, release_and_end, blocked);
}

// A VT of its own (a service's TTYPath) is brought to the front, so that the
// screen shows the view; the VT in front before gets the front back at the end.
bool bring_to_front(int fd, int vt, int front)
{
    if (front == 0 || front == vt)
        return true;
    if (ioctl(fd, VT_ACTIVATE, vt) < 0) {
        report_failure("bring the console tty%d to the front (VT_ACTIVATE)", vt);
        return false;
    }
    g_previous_vt = front;
    ioctl(fd, VT_WAITACTIVE, vt); // a signal may end the wait early: the switch goes on
    return true;
}

} // namespace

void hold_console(int screen_fd)
{
    int fd = -1;
    int front = find_front_vt();
    int vt = find_own_vt(&fd);
    if (vt == 0)
        vt = front;
    if (vt == 0 || !shows_console(screen_fd, vt)) {
        if (fd >= 0)
            close(fd);
        return;
    }
    char path[16];
    std::snprintf(path, sizeof path, VT_PATH, vt);
    if (fd < 0)
        fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        report_failure("open %s to keep its console off the picture", path);
        return;
    }
    release_at_end();
    g_console_fd = fd;
    if (ioctl(fd, KDSETMODE, KD_GRAPHICS) < 0) {
        g_console_fd = -1;
        report_failure("keep the console tty%d off the picture (KDSETMODE)", vt);
        close(fd);
        return;
    }
    if (!bring_to_front(fd, vt, front)) {
        release_console(); // all or nothing: a VT behind the picture stays in text mode
        close(fd);
        return;
    }
    ioctl(screen_fd, FBIOBLANK, FB_BLANK_UNBLANK); // a screen blanked before shows nothing
    if (g_previous_vt)
        std::fprintf(stderr,
                     "camera_lcd: the console tty%d is in front, in graphics mode until "
                     "camera_lcd ends (tty%d before)\n",
                     vt, front);
    else
        std::fprintf(stderr,
                     "camera_lcd: the console tty%d is in graphics mode until camera_lcd "
                     "ends\n",
                     vt);
}

void release_console(void)
{
    int fd = g_console_fd;
    if (fd < 0)
        return;
    g_console_fd = -1;
    int saved = errno;
    ioctl(fd, KDSETMODE, KD_TEXT);
    if (g_previous_vt)
        ioctl(fd, VT_ACTIVATE, int(g_previous_vt));
    errno = saved;
}
