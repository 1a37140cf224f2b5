#ifndef COMMON_H
#define COMMON_H

// Helpers of the LCD module: its files and its failure lines. `common` and
// `file_size_get` (verb last) are names the module's callers know: keep them.

// The file's size in bytes, or -1 when it cannot be queried.
int file_size_get(const char *path);

// Opens an image file for reading only (nothing is ever written to it) and
// gives its size, -1 when that does not fit an int; -1 when it cannot be
// opened or is not a regular file.
int open_image_file(const char *path, int *size);

// Prints "Unable to <what>: <error text> (<errno>)" on standard error, what
// formatted as by printf; returns -1 with errno as it was.
__attribute__((format(printf, 1, 2))) int report_failure(const char *what, ...);

#endif
