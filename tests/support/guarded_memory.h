/* Memory with an inaccessible page right before and right after it, so that
 * an access outside it faults. Plain C: the preloaded virtual framebuffer
 * uses it as well as the tests and the fuzzing harnesses. */
#ifndef GUARDED_MEMORY_H
#define GUARDED_MEMORY_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static inline size_t guarded_page_size(void)
{
    return (size_t)sysconf(_SC_PAGESIZE);
}

static inline size_t guarded_whole_pages(size_t size)
{
    size_t page = guarded_page_size();
    return (size + page - 1) / page * page;
}

/* size bytes rounded up to whole pages, between the two guard pages, all
 * inaccessible until something is mapped over them (MAP_FIXED): their first
 * byte, or NULL with errno set. */
static inline unsigned char *reserve_guarded(size_t size)
{
    size_t span = guarded_whole_pages(size) + 2 * guarded_page_size();
    void *base = mmap(NULL, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return base == MAP_FAILED ? NULL : (unsigned char *)base + guarded_page_size();
}

/* Gives back what reserve_guarded(size) returned, with what was mapped over it. */
static inline void release_guarded(unsigned char *start, size_t size)
{
    munmap(start - guarded_page_size(), guarded_whole_pages(size) + 2 * guarded_page_size());
}

/* size bytes of read-write memory that end right at the guard page after
 * them, and start right after the one before them when size is a whole number
 * of pages; aborts when the memory cannot be had. */
static inline unsigned char *map_guarded(size_t size)
{
    unsigned char *start = reserve_guarded(size);
    if (!start || mprotect(start, guarded_whole_pages(size), PROT_READ | PROT_WRITE) != 0) {
        fprintf(stderr, "guarded memory of %zu bytes: %s\n", size, strerror(errno));
        abort();
    }
    return start + guarded_whole_pages(size) - size;
}

/* Gives back what map_guarded(size) returned. */
static inline void unmap_guarded(unsigned char *data, size_t size)
{
    release_guarded(data + size - guarded_whole_pages(size), size);
}

#endif
