/* A virtual framebuffer for one process, loaded with LD_PRELOAD: the open of
 * "/dev/fb0" goes to the file named by VFB_FILE, the screen queries answer
 * with the layout named by VFB_LAYOUT (default xrgb8888) at the time they are
 * asked, and the screen's mapping has inaccessible pages on both sides so a
 * stray write faults. VFB_LAYOUT=gone,NAME is a driver unbound: queries fail
 * with ENODEV, the next open finds no /dev/fb0, and the one after finds the
 * driver back with the layout NAME. VFB_LAYOUT=unmappable,NAME answers as NAME
 * but refuses the next mapping (ENOMEM), as a driver short of memory. With
 * VFB_FILE set, the machine's own DRM
 * devices are hidden, so that a VFB_FILE that does not exist is a machine
 * with no screen at all. */
#define _GNU_SOURCE
#include "guarded_memory.h"
#include "vfb_layouts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#define DOUBLE_NAME "vfb"
#include "interpose.h"

static const char GONE[] = "gone,";
static const char UNMAPPABLE[] = "unmappable,";

static int layout_is(const char *state)
{
    const char *name = getenv("VFB_LAYOUT");
    return name && strncmp(name, state, strlen(state)) == 0;
}

/* The state ends: the layout named after it is the screen's from now on. */
static void end_state(const char *state)
{
    setenv("VFB_LAYOUT", getenv("VFB_LAYOUT") + strlen(state), 1);
}

static int is_gone(void)
{
    return layout_is(GONE);
}

static const struct vfb_layout *current_layout(void)
{
    const char *name = getenv("VFB_LAYOUT");
    if (name && layout_is(UNMAPPABLE))
        name += sizeof UNMAPPABLE - 1;
    const struct vfb_layout *layout = vfb_layout_find(name ? name : "xrgb8888");
    if (!layout) {
        fprintf(stderr, "vfb: unknown VFB_LAYOUT %s\n", name);
        abort();
    }
    return layout;
}

/* Gives the screen file the length of the screen memory it stands for. */
static void size_screen_file(int fd)
{
    struct stat st;
    __u32 smem_len = current_layout()->smem_len;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (off_t)smem_len)
        if (ftruncate(fd, smem_len) < 0)
            fprintf(stderr, "vfb: cannot size the screen file to %u bytes\n", smem_len);
}

static int open_path(const char *name, const char *path, int flags, mode_t mode)
{
    int (*real_open)(const char *, int, ...) = next_symbol(name);
    const char *screen_file = getenv("VFB_FILE");
    if (screen_file && strncmp(path, "/dev/dri/", 9) == 0) {
        errno = ENOENT;
        return -1;
    }
    if (!screen_file || strcmp(path, "/dev/fb0") != 0)
        return real_open(path, flags, mode);
    if (is_gone()) {
        end_state(GONE);
        errno = ENOENT;
        return -1;
    }
    int fd = real_open(screen_file, flags & ~O_EXCL, mode);
    if (fd >= 0) {
        double_fd = fd;
        if ((flags & O_ACCMODE) != O_RDONLY)
            size_screen_file(fd);
    }
    return fd;
}

/* The screen keeps nothing per descriptor. */
static void forget_double(void) {}

static int answer_ioctl(unsigned long request, void *arg)
{
    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
    if (is_gone()) {
        errno = ENODEV;
        return -1;
    }
    vfb_describe(current_layout(), &var, &fix);
    if (request == FBIOGET_FSCREENINFO) {
        memcpy(arg, &fix, sizeof fix);
        return 0;
    }
    if (request == FBIOGET_VSCREENINFO) {
        memcpy(arg, &var, sizeof var);
        return 0;
    }
    if (request == FBIOPAN_DISPLAY) {
        errno = EINVAL; /* as a driver that cannot pan: a panned layout stays as it is */
        return -1;
    }
    errno = ENOTTY;
    return -1;
}

/* The screen file's bytes, right after a guard page and with one after them. */
static void *map_double(mmap_function real_mmap, size_t len, int prot, int flags, off_t offset)
{
    if (is_gone()) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    if (layout_is(UNMAPPABLE)) {
        end_state(UNMAPPABLE);
        errno = ENOMEM;
        return MAP_FAILED;
    }
    size_screen_file(double_fd); /* the screen may have changed to one of more memory */
    if (offset < 0 || (size_t)offset + len > current_layout()->smem_len) {
        errno = EINVAL; /* as a driver refuses a mapping beyond its memory */
        return MAP_FAILED;
    }
    unsigned char *start = reserve_guarded(len);
    if (!start)
        return MAP_FAILED;
    void *screen = real_mmap(start, len, prot, flags | MAP_FIXED, double_fd, offset);
    if (screen == MAP_FAILED)
        release_guarded(start, len);
    return screen;
}
