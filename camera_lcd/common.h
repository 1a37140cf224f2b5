#ifndef COMMON_H
#define COMMON_H

// The LCD module's file helpers. `common` and `file_size_get` (verb last)
// are names the module's callers know: keep them.

// The file's size in bytes, or -1 when it cannot be queried.
int file_size_get(const char *path);

// Opens an image file to draw, for reading only (nothing is ever written to
// it), and gives its size, -1 when that does not fit an int; -1 when it
// cannot be opened or is not a regular file.
int open_regular_image(const char *path, int *size);

#endif
