#ifndef COMMON_H
#define COMMON_H

// The LCD module's file helper. `common` and `file_size_get` (verb last)
// are names the module's callers know: keep them.

// The file's size in bytes, or -1 when it cannot be queried.
int file_size_get(const char *path);

#endif
