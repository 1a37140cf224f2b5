#include "common.h"

#include <climits>
#include <sys/stat.h>

int file_size_get(const char *path)
{
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    if (st.st_size > INT_MAX) // not representable: treat as unknown
        return -1;
    return int(st.st_size);
}
