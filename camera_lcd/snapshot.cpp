#include "snapshot.h"

#include "api_v4l2.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char SNAPSHOT_NAME[] = "snapshot.jpg";

unsigned char g_kept[CAMERA_FRAME_DATA_BYTES];
int g_kept_length = -1; // -1: no frame drawn yet

// The snapshot's path: in the service's runtime directory, else here.
void snapshot_path(char *path, std::size_t size)
{
    const char *dirs = std::getenv("RUNTIME_DIRECTORY");
    if (!dirs || !*dirs) {
        std::snprintf(path, size, "%s", SNAPSHOT_NAME);
        return;
    }
    int first = int(std::strcspn(dirs, ":"));
    std::snprintf(path, size, "%.*s/%s", first, dirs, SNAPSHOT_NAME);
}

bool write_all(int fd, const unsigned char *data, int length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, std::size_t(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= int(written);
    }
    return true;
}

// 0, or the name of the call that failed with errno set.
const char *write_file(const char *temporary, const char *path)
{
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return "open";
    const char *failed = nullptr;
    if (!write_all(fd, g_kept, g_kept_length))
        failed = "write";
    else if (fsync(fd) < 0)
        failed = "fsync";
    int saved = errno;
    if (close(fd) < 0 && !failed)
        failed = "close", saved = errno;
    if (!failed && rename(temporary, path) < 0)
        failed = "rename", saved = errno;
    errno = saved;
    return failed;
}

} // namespace

void keep_drawn_frame(const unsigned char *data, int length)
{
    std::memcpy(g_kept, data, std::size_t(length));
    g_kept_length = length;
}

void write_snapshot()
{
    if (g_kept_length < 0) {
        std::fprintf(stderr, "camera_lcd: no frame drawn yet, no snapshot\n");
        return;
    }
    char path[PATH_MAX], temporary[PATH_MAX + 8];
    snapshot_path(path, sizeof path);
    std::snprintf(temporary, sizeof temporary, "%s.tmp", path);
    if (const char *failed = write_file(temporary, path)) {
        int err = errno;
        unlink(temporary);
        std::fprintf(stderr, "Unable to write the snapshot %s (%s): %s (%d)\n", path, failed,
                     std::strerror(err), err);
        return;
    }
    std::fprintf(stderr, "camera_lcd: snapshot of the last frame drawn in %s, %d bytes\n", path,
                 g_kept_length);
}
