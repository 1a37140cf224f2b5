// The LCD through DRM/KMS: find the panel, show one dumb buffer on it, mark
// it dirty after each picture, release it.
#include "lcd_drm.h"
#include "failure_line.h"
#include "fb_screen.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

namespace {

constexpr const char DRM_CARD_PATH[] = "/dev/dri/card%d";
constexpr int DRM_CARDS = 64; // card minors; numbers can have gaps
constexpr uint32_t DRM_BITS_PER_PIXEL = 32;

// One DRM screen per process; a GEM handle or object id of 0 is none.
struct drm_state {
    int fd = -1;
    char path[32] = "";
    uint32_t connector_id = 0;
    bool connected = true; // as last seen
    uint32_t crtc_id = 0;
    drmModeModeInfo mode = {};
    uint32_t handle = 0; // the dumb buffer
    uint32_t fb_id = 0;
    void *pixels = nullptr;
    std::size_t length = 0;
};

drm_state g_drm;

// The mode the connector prefers, else the first it lists.
drmModeModeInfo preferred_mode(const drmModeConnector *connector)
{
    for (int i = 0; i < connector->count_modes; i++)
        if (connector->modes[i].type & DRM_MODE_TYPE_PREFERRED)
            return connector->modes[i];
    return connector->modes[0];
}

// The first CRTC that can drive the connector, or 0.
uint32_t find_crtc(int fd, const drmModeRes *resources, const drmModeConnector *connector)
{
    uint32_t possible = drmModeConnectorGetPossibleCrtcs(fd, connector);
    for (int i = 0; i < resources->count_crtcs && i < 32; i++)
        if (possible & (1u << i))
            return resources->crtcs[i];
    return 0;
}

// Takes the first connected connector that has a mode and a CRTC; false when
// the device has none (a render-only device has no resources at all).
bool choose_output(int fd)
{
    drmModeRes *resources = drmModeGetResources(fd);
    if (!resources)
        return false;
    bool found = false;
    for (int i = 0; i < resources->count_connectors && !found; i++) {
        drmModeConnector *connector = drmModeGetConnector(fd, resources->connectors[i]);
        if (!connector)
            continue;
        uint32_t crtc_id = 0;
        if (connector->connection == DRM_MODE_CONNECTED && connector->count_modes > 0)
            crtc_id = find_crtc(fd, resources, connector);
        if (crtc_id) {
            g_drm.connector_id = connector->connector_id;
            g_drm.crtc_id = crtc_id;
            g_drm.mode = preferred_mode(connector);
            found = true;
        }
        drmModeFreeConnector(connector);
    }
    drmModeFreeResources(resources);
    return found;
}

// Creates a dumb buffer at the mode's size and makes it a framebuffer.
int create_buffer(drm_screen *screen)
{
    uint32_t width = g_drm.mode.hdisplay, height = g_drm.mode.vdisplay, pitch = 0;
    uint64_t size = 0;
    if (drmModeCreateDumbBuffer(g_drm.fd, width, height, DRM_BITS_PER_PIXEL, 0, &g_drm.handle,
                                &pitch, &size) < 0)
        return report_failure("create a buffer on %s (DRM_IOCTL_MODE_CREATE_DUMB)", g_drm.path);
    const uint32_t handles[4] = {g_drm.handle}, pitches[4] = {pitch}, offsets[4] = {};
    if (drmModeAddFB2(g_drm.fd, width, height, DRM_FORMAT_XRGB8888, handles, pitches, offsets,
                      &g_drm.fb_id, 0) < 0)
        return report_failure("add a framebuffer on %s (DRM_IOCTL_MODE_ADDFB2)", g_drm.path);
    screen->width = int(width);
    screen->height = int(height);
    screen->line_bytes = pitch;
    screen->length = std::size_t(size);
    return 0;
}

} // namespace

int drm_open_screen(void)
{
    for (int card = 0; card < DRM_CARDS; card++) {
        std::snprintf(g_drm.path, sizeof g_drm.path, DRM_CARD_PATH, card);
        int fd = open(g_drm.path, O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            continue;
        if (fd < 0) {
            report_failure("open %s", g_drm.path);
            return DRM_SCREEN_REFUSED;
        }
        if (!choose_output(fd)) {
            close(fd);
            continue;
        }
        // The mode set needs the device's master role, which the first to
        // open it gets; a desktop keeps it while it runs.
        if (!drmIsMaster(fd)) {
            report_refusal("use %s: another program is its DRM master", g_drm.path);
            close(fd);
            return DRM_SCREEN_REFUSED;
        }
        g_drm.fd = fd;
        std::fprintf(stderr, "No %s: drawing on %s at %ux%u, %u Hz\n", FB_DEVICE, g_drm.path,
                     g_drm.mode.hdisplay, g_drm.mode.vdisplay, g_drm.mode.vrefresh);
        return fd;
    }
    return DRM_SCREEN_ABSENT;
}

int drm_map_screen(drm_screen *screen)
{
    if (create_buffer(screen) < 0)
        return -1;
    uint64_t offset = 0;
    if (drmModeMapDumbBuffer(g_drm.fd, g_drm.handle, &offset) < 0)
        return report_failure("map a buffer of %s (DRM_IOCTL_MODE_MAP_DUMB)", g_drm.path);
    void *pixels =
        mmap(nullptr, screen->length, PROT_READ | PROT_WRITE, MAP_SHARED, g_drm.fd, off_t(offset));
    if (pixels == MAP_FAILED)
        return report_failure("map a buffer of %s (mmap)", g_drm.path);
    g_drm.pixels = pixels;
    g_drm.length = screen->length;
    // A new buffer can hold whatever its memory held before.
    std::memset(pixels, 0, screen->length);
    if (drmModeSetCrtc(g_drm.fd, g_drm.crtc_id, g_drm.fb_id, 0, 0, &g_drm.connector_id, 1,
                       &g_drm.mode) < 0)
        return report_failure("show the buffer on %s (DRM_IOCTL_MODE_SETCRTC)", g_drm.path);
    screen->pixels = static_cast<uint32_t *>(pixels);
    return 0;
}

bool drm_follow_display(void)
{
    // One mode's room: with none, the kernel would probe the display, which
    // can take milliseconds; its list stays unread either way.
    drm_mode_modeinfo mode;
    drm_mode_get_connector connector = {};
    connector.connector_id = g_drm.connector_id;
    connector.count_modes = 1;
    connector.modes_ptr = uintptr_t(&mode);
    if (g_drm.fd < 0 || drmIoctl(g_drm.fd, DRM_IOCTL_MODE_GETCONNECTOR, &connector) < 0)
        return false;
    bool connected = connector.connection == DRM_MODE_CONNECTED;
    if (connected == g_drm.connected)
        return false;
    g_drm.connected = connected;
    if (!connected) {
        std::fprintf(stderr, "The display on %s went away\n", g_drm.path);
        return false;
    }
    if (drmModeSetCrtc(g_drm.fd, g_drm.crtc_id, g_drm.fb_id, 0, 0, &g_drm.connector_id, 1,
                       &g_drm.mode) < 0) {
        report_failure("show the buffer on %s again (DRM_IOCTL_MODE_SETCRTC)", g_drm.path);
        return false;
    }
    std::fprintf(stderr, "The display on %s is back: %ux%u set again\n", g_drm.path,
                 g_drm.mode.hdisplay, g_drm.mode.vdisplay);
    return true;
}

void drm_mark_dirty(void)
{
    // Drivers that scan the buffer out directly have nothing to copy, and
    // some refuse the call (ENOSYS): either way the picture is there.
    if (g_drm.fb_id)
        drmModeDirtyFB(g_drm.fd, g_drm.fb_id, nullptr, 0);
}

void drm_close_screen(void)
{
    if (g_drm.pixels)
        munmap(g_drm.pixels, g_drm.length);
    if (g_drm.fb_id)
        drmModeRmFB(g_drm.fd, g_drm.fb_id); // also turns the display off
    if (g_drm.handle)
        drmModeDestroyDumbBuffer(g_drm.fd, g_drm.handle);
    if (g_drm.fd >= 0)
        close(g_drm.fd);
    g_drm = drm_state();
}
