/* What the preloaded doubles share: the open, open64, close, ioctl, mmap and
 * mmap64 entry points, each passing the call on to the function it stands in
 * front of unless the descriptor is the double's own. A double defines
 * DOUBLE_NAME, then includes this, then defines
 *   open_path()     opens what the double stands for into double_fd, or the real path
 *   forget_double() forgets what it kept for double_fd, before that is closed
 *   answer_ioctl()  answers a request on double_fd
 *   map_double()    maps double_fd's memory */
#ifndef INTERPOSE_H
#define INTERPOSE_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

typedef void *(*mmap_function)(void *, size_t, int, int, int, off_t);

static int double_fd = -1; /* the descriptor of what the double stands for; -1: none open */

static int open_path(const char *name, const char *path, int flags, mode_t mode);
static void forget_double(void);
static int answer_ioctl(unsigned long request, void *arg);
static void *map_double(mmap_function real_mmap, size_t len, int prot, int flags, off_t offset);

static void *next_symbol(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        fprintf(stderr, "%s: no %s to forward to\n", DOUBLE_NAME, name);
        abort();
    }
    return symbol;
}

static int is_double_fd(int fd)
{
    return fd >= 0 && fd == double_fd;
}

static mode_t mode_argument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path("open64", path, flags, mode);
}

int close(int fd)
{
    int (*real_close)(int) = next_symbol("close");
    if (is_double_fd(fd)) {
        forget_double();
        double_fd = -1;
    }
    return real_close(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (!is_double_fd(fd)) {
        int (*real_ioctl)(int, unsigned long, ...) = next_symbol("ioctl");
        return real_ioctl(fd, request, arg);
    }
    return answer_ioctl(request, arg);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    mmap_function real_mmap = next_symbol("mmap");
    if (!is_double_fd(fd))
        return real_mmap(addr, len, prot, flags, fd, offset);
    return map_double(real_mmap, len, prot, flags, offset);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t offset)
{
    void *(*real_mmap64)(void *, size_t, int, int, int, off64_t) = next_symbol("mmap64");
    if (!is_double_fd(fd))
        return real_mmap64(addr, len, prot, flags, fd, offset);
    return map_double(next_symbol("mmap"), len, prot, flags, (off_t)offset);
}

#endif
