#ifndef COMMON_H
#define COMMON_H

// The file's size in bytes, or -1 when it cannot be queried.
int file_size_get(const char *path);

#endif
