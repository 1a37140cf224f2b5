/* exit() for the harnesses: this definition in the executable is the one the
 * code under test and libjpeg call. Outside run_input it is the C library's. */
#define _GNU_SOURCE
#include "fuzz_exit.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <stdlib.h>
#include <unistd.h>

/* The sanitizer runtime's, declared here: GCC ships no header for it. */
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                              void (*free_hook)(const volatile void *));

enum { MAX_LIVE_BLOCKS = 1024 };

static jmp_buf exit_jump;
static volatile int running;
static const volatile void *live_blocks[MAX_LIVE_BLOCKS];
static size_t live_count;

static void note_malloc(const volatile void *block, size_t size)
{
    (void)size;
    if (running && live_count < MAX_LIVE_BLOCKS)
        live_blocks[live_count++] = block;
}

static void note_free(const volatile void *block)
{
    if (!running)
        return;
    for (size_t i = 0; i < live_count; i++)
        if (live_blocks[i] == block) {
            live_blocks[i] = live_blocks[--live_count];
            return;
        }
}

static void free_live_blocks(void)
{
    for (size_t i = 0; i < live_count; i++)
        free((void *)live_blocks[i]);
    live_count = 0;
}

int run_input(fuzz_body body, const uint8_t *data, size_t size)
{
    static int hooks_installed;
    if (!hooks_installed)
        hooks_installed = __sanitizer_install_malloc_and_free_hooks(note_malloc, note_free);
    live_count = 0;
    running = 1;
    if (setjmp(exit_jump) != 0) {
        free_live_blocks();
        return 1;
    }
    body(data, size);
    running = 0;
    return 0;
}

void exit(int status)
{
    if (running) {
        running = 0;
        longjmp(exit_jump, 1);
    }
    void (*c_library_exit)(int) = (void (*)(int))dlsym(RTLD_NEXT, "exit");
    if (c_library_exit)
        c_library_exit(status);
    _exit(status);
}
