#include "guarded_memory.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static size_t page_size(void)
{
    return (size_t)sysconf(_SC_PAGESIZE);
}

static size_t whole_pages(size_t size)
{
    size_t page = page_size();
    return (size + page - 1) / page * page;
}

unsigned char *reserve_guarded(size_t size)
{
    size_t span = whole_pages(size) + 2 * page_size();
    void *base = mmap(NULL, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return base == MAP_FAILED ? NULL : (unsigned char *)base + page_size();
}

void release_guarded(unsigned char *start, size_t size)
{
    munmap(start - page_size(), whole_pages(size) + 2 * page_size());
}

unsigned char *map_guarded(size_t size)
{
    unsigned char *start = reserve_guarded(size);
    if (!start || mprotect(start, whole_pages(size), PROT_READ | PROT_WRITE) != 0) {
        fprintf(stderr, "guarded memory of %zu bytes: %s\n", size, strerror(errno));
        abort();
    }
    return start + whole_pages(size) - size;
}

void unmap_guarded(unsigned char *data, size_t size)
{
    release_guarded(data + size - whole_pages(size), size);
}
