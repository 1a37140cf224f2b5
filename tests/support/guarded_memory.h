/* Memory with an inaccessible page right before and right after it, so that
 * an access outside it faults. Plain C: the preloaded virtual framebuffer
 * uses it as well as the tests and the fuzzing harnesses. */
#ifndef GUARDED_MEMORY_H
#define GUARDED_MEMORY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* size bytes rounded up to whole pages, between the two guard pages, all
 * inaccessible until something is mapped over them (MAP_FIXED): their first
 * byte, or NULL with errno set. */
unsigned char *reserve_guarded(size_t size);
/* Gives back what reserve_guarded(size) returned, with what was mapped over it. */
void release_guarded(unsigned char *start, size_t size);

/* size bytes of read-write memory that end right at the guard page after
 * them, and start right after the one before them when size is a whole number
 * of pages; aborts when the memory cannot be had. */
unsigned char *map_guarded(size_t size);
/* Gives back what map_guarded(size) returned. */
void unmap_guarded(unsigned char *data, size_t size);

#ifdef __cplusplus
}
#endif

#endif
