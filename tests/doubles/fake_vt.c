/* The kernel's console on the screen, for one process, loaded with LD_PRELOAD
 * in front of the virtual framebuffer. FAKE_VT=<own>:<front>[:<errno name>]
 * names the VT of the process's controlling terminal (0: none), the VT in
 * front, and how VT_ACTIVATE fails (EPERM, ENXIO or ENOMEM), if it does.
 * "/dev/tty" and "/dev/tty<n>" open as those VTs and answer TIOCGDEV,
 * KDSETMODE, VT_ACTIVATE and VT_WAITACTIVE; /sys/class/tty/tty0/active names
 * the VT in front; the screen file (VFB_FILE) is /dev/fb0's character device
 * to fstat, and FBIOGET_CON2FBMAP puts every console on it.
 * FAKE_VT_REPORT=<path> gets one line at exit: the two VTs' modes, the VT in
 * front, and the screen queries (FBIOGET_VSCREENINFO, asked before each
 * frame) that came while a VT not in front was in graphics mode.
 * Without FAKE_VT every call goes to the system. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/kd.h>
#include <linux/vt.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum { VT_MAJOR = 4, FB_MAJOR = 29, VTS = 64 };
static const char FRONT_VT_FILE[] = "/sys/class/tty/tty0/active";

static int own_vt, front_vt, first_front_vt, activate_errno;
static int vt_fd = -1, vt_of_fd; /* the program holds one VT open at a time */
static int modes[VTS];           /* KD_TEXT (0) or KD_GRAPHICS */
static unsigned queries_behind;

static void *next_symbol(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        fprintf(stderr, "fake_vt: no %s to forward to\n", name);
        abort();
    }
    return symbol;
}

/* The setting, read once; 0 when FAKE_VT is not set. */
static int has_console(void)
{
    static int read;
    const char *setting = getenv("FAKE_VT");
    char name[16] = "";
    if (!setting || read)
        return setting != NULL;
    read = 1;
    sscanf(setting, "%d:%d:%15[A-Z]", &own_vt, &front_vt, name);
    first_front_vt = front_vt;
    activate_errno = strcmp(name, "EPERM") == 0    ? EPERM
                     : strcmp(name, "ENXIO") == 0  ? ENXIO
                     : strcmp(name, "ENOMEM") == 0 ? ENOMEM
                                                   : 0;
    if (own_vt < 0 || own_vt >= VTS || front_vt < 1 || front_vt >= VTS ||
        (name[0] && !activate_errno)) {
        fprintf(stderr, "fake_vt: FAKE_VT=%s is not <own>:<front>[:EPERM|ENXIO|ENOMEM]\n", setting);
        abort();
    }
    return 1;
}

/* The VT a path names, -1 for another path. */
static int vt_named(const char *path)
{
    int vt;
    char after;
    if (strcmp(path, "/dev/tty") == 0)
        return own_vt;
    if (sscanf(path, "/dev/tty%d%c", &vt, &after) == 1 && vt >= 1 && vt < VTS)
        return vt;
    return -1;
}

static int open_path(const char *name, const char *path, int flags, mode_t mode)
{
    int (*real_open)(const char *, int, ...) = next_symbol(name);
    int vt = has_console() ? vt_named(path) : -1;
    if (vt < 0)
        return real_open(path, flags, mode);
    if (vt == 0) { /* no controlling terminal */
        errno = ENXIO;
        return -1;
    }
    int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0)
        vt_fd = fd, vt_of_fd = vt;
    return fd;
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_path("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_path("open64", path, flags, mode);
}

int close(int fd)
{
    int (*real_close)(int) = next_symbol("close");
    if (fd >= 0 && fd == vt_fd)
        vt_fd = -1;
    return real_close(fd);
}

static int answer_vt(unsigned long request, void *arg)
{
    int value = (int)(intptr_t)arg;
    switch (request) {
    case TIOCGDEV: *(unsigned *)arg = (unsigned)makedev(VT_MAJOR, vt_of_fd); return 0;
    case KDSETMODE: modes[vt_of_fd] = value; return 0;
    case VT_ACTIVATE:
        if (activate_errno) {
            errno = activate_errno;
            return -1;
        }
        front_vt = value;
        return 0;
    case VT_WAITACTIVE: return 0;
    }
    errno = ENOTTY;
    return -1;
}

static void note_screen_query(void)
{
    for (int vt = 1; vt < VTS; vt++)
        if (vt != front_vt && modes[vt] == KD_GRAPHICS) {
            queries_behind++;
            return;
        }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    int (*real_ioctl)(int, unsigned long, ...) = next_symbol("ioctl");
    if (!has_console())
        return real_ioctl(fd, request, arg);
    if (fd >= 0 && fd == vt_fd)
        return answer_vt(request, arg);
    if (request == FBIOGET_CON2FBMAP) {
        ((struct fb_con2fbmap *)arg)->framebuffer = 0;
        return 0;
    }
    if (request == FBIOBLANK)
        return 0;
    if (request == FBIOGET_VSCREENINFO)
        note_screen_query();
    return real_ioctl(fd, request, arg);
}

static int is_screen_file(const struct stat *st)
{
    const char *path = getenv("VFB_FILE");
    struct stat screen;
    return path && stat(path, &screen) == 0 && screen.st_dev == st->st_dev &&
           screen.st_ino == st->st_ino;
}

int fstat(int fd, struct stat *st)
{
    int (*real_fstat)(int, struct stat *) = next_symbol("fstat");
    int result = real_fstat(fd, st);
    if (result == 0 && has_console() && is_screen_file(st)) {
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(FB_MAJOR, 0);
    }
    return result;
}

FILE *fopen(const char *path, const char *mode)
{
    FILE *(*real_fopen)(const char *, const char *) = next_symbol("fopen");
    static char front[16];
    if (!has_console() || strcmp(path, FRONT_VT_FILE) != 0)
        return real_fopen(path, mode);
    snprintf(front, sizeof front, "tty%d\n", front_vt);
    return fmemopen(front, strlen(front), "r");
}

__attribute__((destructor)) static void report_console(void)
{
    const char *path = getenv("FAKE_VT_REPORT");
    FILE *file = path && has_console() ? fopen(path, "w") : NULL;
    if (!file)
        return;
    fprintf(
        file,
        "tty%d %s, tty%d %s; tty%d in front; %u screen queries with a VT behind in graphics mode\n",
        first_front_vt, modes[first_front_vt] == KD_GRAPHICS ? "graphics" : "text", own_vt,
        modes[own_vt] == KD_GRAPHICS ? "graphics" : "text", front_vt, queries_behind);
    fclose(file);
}
