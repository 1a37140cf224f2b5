#ifndef COMMON_H
#define COMMON_H

// File helpers of the LCD module. `common` and `file_size_get` (verb last)
// are names the module's callers know: keep them.

// The file's size in bytes, or -1 when it cannot be queried.
int file_size_get(const char *path);

// Opens an image file for reading only (nothing is ever written to it); -1
// when it cannot be opened or is not a regular file.
int open_image_file(const char *path);

#endif
