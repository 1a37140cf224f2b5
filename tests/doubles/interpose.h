/* What the preloaded doubles share: the function each stands in front of, and
 * the open, open64 and close entry points. A double defines DOUBLE_NAME, then
 * includes this, then defines open_path() (which opens what it stands for, or
 * the real path) and forget_fd() (called before a descriptor is closed). */
#ifndef INTERPOSE_H
#define INTERPOSE_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int open_path(const char *name, const char *path, int flags, mode_t mode);
static void forget_fd(int fd);

static void *next_symbol(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        fprintf(stderr, "%s: no %s to forward to\n", DOUBLE_NAME, name);
        abort();
    }
    return symbol;
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
    forget_fd(fd);
    return real_close(fd);
}

#endif
