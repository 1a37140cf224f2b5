// Counts the heap allocations and releases of the program it is preloaded
// into (LD_PRELOAD=.../libcount_allocations.so); camera-lcd-bench reads the
// counts through allocation_count and release_count. glibc's allocator still
// does the work.
#include <errno.h>
#include <stddef.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);

static unsigned long allocations, releases;

static void count_one(void)
{
    __atomic_fetch_add(&allocations, 1, __ATOMIC_RELAXED);
}

unsigned long allocation_count(void)
{
    return __atomic_load_n(&allocations, __ATOMIC_RELAXED);
}

unsigned long release_count(void)
{
    return __atomic_load_n(&releases, __ATOMIC_RELAXED);
}

void free(void *block)
{
    if (block)
        __atomic_fetch_add(&releases, 1, __ATOMIC_RELAXED);
    __libc_free(block);
}

void *malloc(size_t size)
{
    count_one();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    count_one();
    return __libc_calloc(count, size);
}

// Every call counts, also one that shrinks or keeps the block in place.
void *realloc(void *block, size_t size)
{
    count_one();
    return __libc_realloc(block, size);
}

void *memalign(size_t alignment, size_t size)
{
    count_one();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void **block, size_t alignment, size_t size)
{
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *block = p;
    return 0;
}
