/* Running code that ends the process on bad input, one input at a time. */
#ifndef FUZZ_EXIT_H
#define FUZZ_EXIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*fuzz_body)(const uint8_t *data, size_t size);

/* Runs body on the input. A call of exit() while it runs (the viewer's failure
 * paths, libjpeg's standard error manager in the viewer) ends the input instead of the
 * process, and the heap blocks the abandoned frames would have freed are freed.
 * Returns 0 when body returned, 1 when it called exit(). */
int run_input(fuzz_body body, const uint8_t *data, size_t size);

#ifdef __cplusplus
}
#endif

#endif
