// The LCD through DRM/KMS, for systems without the framebuffer device: one
// dumb buffer of XRGB8888 pixels (the pixel word) at the connector's
// preferred mode, shown with one mode set and drawn into directly.
#ifndef LCD_DRM_H
#define LCD_DRM_H

#include <cstddef>
#include <cstdint>

// What the buffer looks like once mapped; pixels are 32-bit XRGB8888.
struct drm_screen {
    int width;
    int height;
    uint32_t line_bytes; // the buffer's pitch
    uint32_t *pixels;    // the buffer's mapping
    std::size_t length;  // bytes mapped
};

constexpr int DRM_SCREEN_ABSENT = -1;  // no DRM device with a connected connector
constexpr int DRM_SCREEN_REFUSED = -2; // a device is there but unusable; said why

// Opens the first DRM device with a connected connector and picks the mode
// the connector prefers; says on standard error which device and mode it
// takes. Returns the descriptor, DRM_SCREEN_ABSENT with nothing said, or
// DRM_SCREEN_REFUSED after one line (such as another program holding the
// device as its master).
int drm_open_screen(void);
// Creates the buffer, clears and maps it and shows it on the connector.
// Returns 0, or -1 after one line on standard error.
int drm_map_screen(drm_screen *screen);
// Asks whether the display on the connector went away or came back (a
// monitor off and on, or replugged), without probing it; one line on
// standard error for each. A display back gets the mode set again: true then.
bool drm_follow_display(void);
// Tells the driver the buffer changed: drivers that copy it to the display
// need that. Does nothing without a DRM screen.
void drm_mark_dirty(void);
// Takes the buffer off the display, releases it and closes the device.
void drm_close_screen(void);

#endif
